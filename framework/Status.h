#pragma once
// Status codes shared by every processing block.
//
// Every block operation answers an int: 0 for success, a small positive code
// for a block failure. Block-specific codes (101, 102, ...) are declared in the
// block's own header. The signal-processing primitives answer the negative
// codes of framework/Primitives.h. Nothing in the module throws or logs: the
// first non-zero status ends an operation and is passed up unchanged.

namespace qb32::status {

inline constexpr int ok = 0;
inline constexpr int unsupportedStream = 2;  // descriptor refused, buffer mismatch, too many frames
inline constexpr int noControls = 3;         // the block has no control table
inline constexpr int noAuxControls = 4;      // aux controls are never supported
inline constexpr int blockActive = 5;        // configuration refused while active
inline constexpr int allocationFailed = 7;   // memory was not available
inline constexpr int badValueType = 10;      // value type code above 18
inline constexpr int badChannel = 11;        // channel index out of range
inline constexpr int badControl = 12;        // control index out of range
inline constexpr int controlMismatch = 15;   // type or element count differs from the declaration
inline constexpr int primitiveFailure = 100; // 100 + (bitwise OR of the primitive statuses)

}  // namespace qb32::status
