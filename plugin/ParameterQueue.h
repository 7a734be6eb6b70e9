#pragma once
// ParameterQueue: a bounded, lock-free, multi-producer single-consumer queue
// of parameter changes (index, value). Host threads push the changes they
// make; the thread that currently owns the engine (the audio callback between
// two blocks, or a reconfiguration) pops them in the order their pushes took
// their slots.
//
// States: empty, holding 1..capacity entries, full. A push into a full queue
// answers false and stores nothing; the caller then has to resend its state by
// other means (the shell resends the whole current program).
//
// Real time: push and pop never allocate, never block and never throw. A pop
// that meets a slot whose producer has claimed it but not yet filled it
// answers "empty" rather than wait; the entry is popped by a later call.
// Exactly one thread may pop at a time (the caller ensures it).

#include <atomic>
#include <cstddef>
#include <cstdint>

namespace qb32 {

struct ParameterChange {
    std::int32_t index;
    float value;
};

class ParameterQueue {
public:
    static constexpr std::size_t capacity = 1024;  // a power of two

    ParameterQueue() noexcept;
    ParameterQueue(const ParameterQueue&) = delete;
    ParameterQueue& operator=(const ParameterQueue&) = delete;

    // [any thread] false when the queue is full.
    bool push(ParameterChange change) noexcept;
    // [engine owner] false when nothing is ready.
    bool pop(ParameterChange& change) noexcept;

private:
    static_assert((capacity & (capacity - 1)) == 0);

    struct Slot {
        std::atomic<std::size_t> sequence;
        ParameterChange change;
    };

    Slot slots[capacity];
    alignas(64) std::atomic<std::size_t> enqueuePosition{0};
    alignas(64) std::atomic<std::size_t> dequeuePosition{0};
};

}  // namespace qb32
