#include "plugin/ParameterQueue.h"

namespace qb32 {

// Each slot carries a sequence number: equal to the position a producer may
// claim next, position + 1 once filled, position + capacity once consumed.
// Producers claim positions with a compare-and-swap on enqueuePosition, fill
// the slot, then publish it by advancing its sequence (release); the consumer
// reads a slot only after seeing that sequence (acquire).

ParameterQueue::ParameterQueue() noexcept {
    for (std::size_t i = 0; i < capacity; ++i) {
        slots[i].sequence.store(i, std::memory_order_relaxed);
        slots[i].change = ParameterChange{0, 0.0f};
    }
}

bool ParameterQueue::push(ParameterChange change) noexcept {
    std::size_t position = enqueuePosition.load(std::memory_order_relaxed);
    for (;;) {
        Slot& slot = slots[position & (capacity - 1)];
        const std::size_t sequence = slot.sequence.load(std::memory_order_acquire);
        const auto lag = static_cast<std::ptrdiff_t>(sequence - position);
        if (lag == 0) {
            if (enqueuePosition.compare_exchange_weak(position, position + 1,
                                                      std::memory_order_relaxed)) {
                slot.change = change;
                slot.sequence.store(position + 1, std::memory_order_release);
                return true;
            }
        } else if (lag < 0) {
            return false;  // the slot still holds an entry of the previous lap: full
        } else {
            position = enqueuePosition.load(std::memory_order_relaxed);
        }
    }
}

bool ParameterQueue::pop(ParameterChange& change) noexcept {
    const std::size_t position = dequeuePosition.load(std::memory_order_relaxed);
    Slot& slot = slots[position & (capacity - 1)];
    if (slot.sequence.load(std::memory_order_acquire) != position + 1) return false;
    change = slot.change;
    dequeuePosition.store(position + 1, std::memory_order_relaxed);
    slot.sequence.store(position + capacity, std::memory_order_release);
    return true;
}

}  // namespace qb32
