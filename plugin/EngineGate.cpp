#include "plugin/EngineGate.h"

#include <thread>

namespace qb32 {

bool EngineGate::tryEnterAudio() noexcept {
    if (controlWaiting.load(std::memory_order_acquire) != 0) return false;
    int expected = none;
    return holder.compare_exchange_strong(expected, audio, std::memory_order_acquire,
                                          std::memory_order_relaxed);
}

void EngineGate::leaveAudio() noexcept { holder.store(none, std::memory_order_release); }

void EngineGate::enterControl() noexcept {
    controlWaiting.fetch_add(1, std::memory_order_acq_rel);
    for (;;) {
        int expected = none;
        if (holder.compare_exchange_weak(expected, control, std::memory_order_acquire,
                                         std::memory_order_relaxed))
            break;
        std::this_thread::yield();
    }
    controlWaiting.fetch_sub(1, std::memory_order_acq_rel);
}

void EngineGate::leaveControl() noexcept { holder.store(none, std::memory_order_release); }

void ControlMutex::lock() noexcept {
    for (;;) {
        bool expected = false;
        if (held.compare_exchange_weak(expected, true, std::memory_order_acquire, std::memory_order_relaxed))
            return;
        std::this_thread::yield();
    }
}

void ControlMutex::unlock() noexcept { held.store(false, std::memory_order_release); }

}  // namespace qb32
