#pragma once
// vkAudioClass: the base of every processing block.
//
// A block is told the stream it receives and the stream it must produce
// (`configure`), builds its state for exactly that pair, and then turns arrays
// of input channels into arrays of output channels, one block of frames per
// `process` call. Parents own their children and drive them through the
// virtual operations below, which keep this slot order:
//
//   0 ~vkAudioClass   1 configure        2 process          3 processBlock
//   4 processChecked  5 processCheckedBlock                 6 reset
//   7 stop            8 start            9 setAuxControl   10 getAuxControl
//  11 setControl     12 getControl
//
// States: constructed -> configured (configure answered 0; may be repeated)
// -> active (start answered 0; configure answers 5 until stop).
// A refused configure (2 or 5) leaves the previous configuration untouched; a
// configure that fails later (7, or a child's status) leaves the block
// unusable until a later configure succeeds.
//
// Derived-block contract: configure refuses with 5 while active, validates both
// descriptors (2), then calls the base configure and builds its state (7 when
// memory is short). process handles 1..input.frameCount() frames; the caller
// never passes more. reset clears signal state, never configuration.
//
// Real time: process, processBlock, processChecked(Block), reset, start, stop
// and the control operations allocate nothing, take no lock and never throw.
// configure and declareControls may allocate. One block and its children are
// driven from one thread at a time; the owner serialises configure against
// process.
//
// Controls: a block may declare a table of named per-channel controls (the
// engine declares "theta", "phi", "pattern"); values move through
// copyControlValue, which checks the declared type and element count.

#include <cstddef>
#include <cstdint>
#include <memory>

#include "framework/Status.h"
#include "framework/vkAudioInterface.h"

namespace qb32 {

// Value type codes of the control tables. Codes 3 and 4 are strings of 1- and
// 2-byte characters; code 6 is a 32-bit signed integer.
namespace valueType {
inline constexpr int string8 = 3;
inline constexpr int string16 = 4;
inline constexpr int int32 = 6;
inline constexpr int maxCode = 18;
}  // namespace valueType

// Element size in bytes of a value type code (0 above 18, and for strings the
// character size).
int valueTypeSize(int type) noexcept;

// One row of a control declaration.
struct ControlDeclaration {
    const char* name;  // at most 16 characters
    int elementCount;
    int type;
};

class vkAudioClass {
public:
    static constexpr int controlNameCapacity = 17;  // 16 characters and a NUL

    vkAudioClass() noexcept = default;
    vkAudioClass(const vkAudioClass&) = delete;
    vkAudioClass& operator=(const vkAudioClass&) = delete;

    /* slot 0 */ virtual ~vkAudioClass();
    /* slot 1 */ virtual int configure(const vkAudioInterface& in, const vkAudioInterface& out);
    /* slot 2 */ virtual int process(const float* const* in, float* const* out, int frames) noexcept;
    /* slot 3 */ virtual int processBlock(const float* const* in, float* const* out) noexcept;
    /* slot 4 */ virtual int processChecked(const vkAudioBuffer& in, const vkAudioBuffer& out,
                                            int frames) noexcept;
    /* slot 5 */ virtual int processCheckedBlock(const vkAudioBuffer& in,
                                                 const vkAudioBuffer& out) noexcept;
    /* slot 6 */ virtual void reset() noexcept;
    /* slot 7 */ virtual int stop() noexcept;
    /* slot 8 */ virtual int start() noexcept;
    /* slot 9 */ virtual int setAuxControl(int channel, int control, const void* value, int count,
                                           int type) noexcept;
    /* slot 10 */ virtual int getAuxControl(int channel, int control, void* value, int count,
                                            int type) noexcept;
    /* slot 11 */ virtual int setControl(int channel, int control, const void* value, int count,
                                         int type) noexcept;
    /* slot 12 */ virtual int getControl(int channel, int control, void* value, int count,
                                         int type) noexcept;

    [[nodiscard]] const vkAudioInterface& inputFormat() const noexcept { return input; }
    [[nodiscard]] const vkAudioInterface& outputFormat() const noexcept { return output; }
    [[nodiscard]] bool isActive() const noexcept { return active; }
    [[nodiscard]] int getTag() const noexcept { return tag; }

    [[nodiscard]] int getControlCount() const noexcept { return controlCount; }
    [[nodiscard]] const char* getControlName(int control) const noexcept;
    [[nodiscard]] int getAuxControlCount() const noexcept { return auxControlCount; }

protected:
    // Replaces the control table with the given rows; 7 when memory is short
    // (the table is then empty), else 0.
    int declareControls(const ControlDeclaration* rows, int count) noexcept;

    // Moves one control value between a caller's memory and a block's variable
    // with the declared type and count: 15 on a mismatch, 10 for a type above 18.
    int copyControlValue(int type, int control, int count, const void* source,
                         void* destination) const noexcept;

    vkAudioInterface input;
    vkAudioInterface output;

    // The aux control table has the shape of the control table; no block of
    // this system fills it.
    int auxControlCount = 0;
    std::unique_ptr<int[]> auxControlCounts;
    std::unique_ptr<int[]> auxControlTypes;
    std::unique_ptr<std::unique_ptr<char[]>[]> auxControlNames;

    int controlCount = 0;
    std::unique_ptr<int[]> controlCounts;
    std::unique_ptr<int[]> controlTypes;
    std::unique_ptr<std::unique_ptr<char[]>[]> controlNames;

    bool active = false;
    int tag = 0;
};

// True when a descriptor pair is what every block of this system serves: time
// domain with formatFlag set on both sides, exactly equal sample rates and
// equal frame counts. Channel counts are each block's own rule.
bool isServableStreamPair(const vkAudioInterface& in, const vkAudioInterface& out) noexcept;

}  // namespace qb32
