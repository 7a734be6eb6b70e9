#pragma once
// ParameterQueue: which of the 32 parameters changed since the engine last
// took them, in the order their latest changes arrived. Values do not travel
// here: the taker reads each parameter's value where it lives (the current
// program record), so a parameter changed 100,000 times between two blocks
// is applied once, with its latest value, and a block never applies more
// than parameterCount changes.
//
// Producers (any number of host threads) mark(index) after storing the value:
// each mark draws a ticket from one shared counter and raises the
// parameter's ticket to it (a newer ticket is never replaced by an older
// one). The taker (the thread that currently owns the engine) compares every
// parameter's ticket with the one it took last: the parameters whose ticket
// moved are the changes, ordered by their tickets.
//
// Tickets are 32 bits and compared modulo 2^32: order holds while fewer than
// 2^31 marks happen between two takes.
//
// Memory order: a mark releases, a take acquires, so a value stored before
// its mark is visible to the taker that sees the mark.
//
// Real time: mark and take never allocate, never block and never throw; mark
// is lock-free (a compare-and-swap loop that only repeats when another
// producer raised the same ticket meanwhile). Exactly one thread may take at
// a time (the caller ensures it).

#include <atomic>
#include <cstdint>

#include "plugin/Parameters.h"

namespace qb32 {

class ParameterQueue {
public:
    ParameterQueue() noexcept = default;
    ParameterQueue(const ParameterQueue&) = delete;
    ParameterQueue& operator=(const ParameterQueue&) = delete;

    // [any thread] index 0..parameterCount-1 has a new value.
    void mark(int index) noexcept;
    // [engine owner] Writes the changed indices, oldest latest change first,
    // into indices[0 .. answer) and counts them as taken.
    int take(int* indices) noexcept;
    // [engine owner] Counts every change so far as taken (the caller applies
    // the whole state itself, after this call).
    void takeAll() noexcept;

private:
    std::atomic<std::uint32_t> nextTicket{0};
    std::atomic<std::uint32_t> latest[parameterCount] = {};
    std::uint32_t taken[parameterCount] = {};  // the taker's own
};

}  // namespace qb32
