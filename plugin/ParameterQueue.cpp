#include "plugin/ParameterQueue.h"

namespace qb32 {

namespace {

// a was drawn after b (modulo 2^32).
bool after(std::uint32_t a, std::uint32_t b) noexcept { return static_cast<std::int32_t>(a - b) > 0; }

}  // namespace

void ParameterQueue::mark(int index) noexcept {
    if (!isParameterIndex(index)) return;
    // Tickets start at 1: 0 is what nothing-marked-yet reads as.
    const std::uint32_t ticket = nextTicket.fetch_add(1, std::memory_order_relaxed) + 1;
    std::atomic<std::uint32_t>& slot = latest[index];
    std::uint32_t seen = slot.load(std::memory_order_relaxed);
    while (after(ticket, seen) &&
           !slot.compare_exchange_weak(seen, ticket, std::memory_order_release, std::memory_order_relaxed)) {
    }
}

int ParameterQueue::take(int* indices) noexcept {
    std::uint32_t tickets[parameterCount];
    int count = 0;
    for (int index = 0; index < parameterCount; ++index) {
        const std::uint32_t ticket = latest[index].load(std::memory_order_acquire);
        if (ticket == taken[index]) continue;
        taken[index] = ticket;
        // Insertion by ticket: at most 32 entries.
        int at = count++;
        for (; at > 0 && after(tickets[at - 1], ticket); --at) {
            tickets[at] = tickets[at - 1];
            indices[at] = indices[at - 1];
        }
        tickets[at] = ticket;
        indices[at] = index;
    }
    return count;
}

void ParameterQueue::takeAll() noexcept {
    for (int index = 0; index < parameterCount; ++index)
        taken[index] = latest[index].load(std::memory_order_acquire);
}

}  // namespace qb32
