#pragma once
// EngineGate: keeps the audio callback and the engine's reconfiguration from
// ever overlapping, without making the audio callback wait.
//
// Holders: at most one at a time, either the audio callback or one control
// holder (a thread reconfiguring the engine).
// - The audio callback tries to enter once per block. It fails, and must then
//   leave the engine alone for that block, while a control holder is inside
//   or waiting to get in; so a waiting reconfiguration is never starved by
//   back-to-back callbacks.
// - A control holder announces itself, then waits (yielding) until no
//   callback is inside and no other control holder is, and enters.
// Entering acquires and leaving releases, so whatever one holder wrote to the
// engine is visible to the next.
//
// Real time: tryEnterAudio and leaveAudio are wait-free, allocation-free and
// noexcept. enterControl may wait for the length of one callback; it never
// runs on the audio thread.

#include <atomic>

namespace qb32 {

class EngineGate {
public:
    EngineGate() noexcept = default;
    EngineGate(const EngineGate&) = delete;
    EngineGate& operator=(const EngineGate&) = delete;

    [[nodiscard]] bool tryEnterAudio() noexcept;  // [audio thread]
    void leaveAudio() noexcept;                   // [audio thread]
    void enterControl() noexcept;                 // [any thread but the audio thread]
    void leaveControl() noexcept;                 // [the thread that entered]

private:
    enum Holder : int { none = 0, audio = 1, control = 2 };
    std::atomic<int> holder{none};
    std::atomic<int> controlWaiting{0};
};

// Serialises the host threads that reconfigure, among themselves only (the
// audio callback never takes it). A yielding lock on an atomic flag: the
// standard mutex is missing from some toolchains the module is built with
// (mingw-w64 with Win32 threads). Held for one reconfiguration at most.
class ControlMutex {
public:
    ControlMutex() noexcept = default;
    ControlMutex(const ControlMutex&) = delete;
    ControlMutex& operator=(const ControlMutex&) = delete;

    void lock() noexcept;    // [any thread but the audio thread]
    void unlock() noexcept;  // [the thread that locked]

private:
    std::atomic<bool> held{false};
};

class ControlMutexScope {
public:
    explicit ControlMutexScope(ControlMutex& m) noexcept : mutex(m) { mutex.lock(); }
    ~ControlMutexScope() { mutex.unlock(); }
    ControlMutexScope(const ControlMutexScope&) = delete;
    ControlMutexScope& operator=(const ControlMutexScope&) = delete;

private:
    ControlMutex& mutex;
};

// Holds the gate for control from construction to destruction.
class ControlScope {
public:
    explicit ControlScope(EngineGate& g) noexcept : gate(g) { gate.enterControl(); }
    ~ControlScope() { gate.leaveControl(); }
    ControlScope(const ControlScope&) = delete;
    ControlScope& operator=(const ControlScope&) = delete;

private:
    EngineGate& gate;
};

}  // namespace qb32
