// Per-process synchronisation objects with timed waits, the machine-wide open lock, and
// short-lived threads. Wait results use the values the driver's traces record.
#pragma once

#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <mutex>
#include <string>

#include "platform/clock.h"

namespace prt::plat {

constexpr uint32_t kWaitObject0 = 0x00000000u;
constexpr uint32_t kWaitAbandoned = 0x00000080u;
constexpr uint32_t kWaitTimeout = 0x00000102u;
constexpr uint32_t kWaitFailed = 0xFFFFFFFFu;

// Counting semaphore. wait(0) tries once; wait(kInfinite) waits without limit; other
// times are scaled by the time scale (clock.h).
class Semaphore {
public:
    Semaphore(int initial, int maximum) : count_(initial), max_(maximum) {}
    uint32_t wait(uint32_t ms);
    bool release();

private:
    std::mutex mu_;
    std::condition_variable cv_;
    int count_;
    int max_;
};

// Manual-reset (or auto-reset) event.
class Event {
public:
    Event(bool manual_reset, bool initially_set) : manual_(manual_reset), set_(initially_set) {}
    uint32_t wait(uint32_t ms);
    void set();
    void reset();
    bool is_set();

private:
    std::mutex mu_;
    std::condition_variable cv_;
    bool manual_;
    bool set_;
};

// Machine-wide lock held through a lock file in the runtime directory: a process that
// dies holds nothing. Threads of one process also exclude each other.
class NamedLock {
public:
    explicit NamedLock(const std::string& name);
    ~NamedLock();
    NamedLock(const NamedLock&) = delete;
    NamedLock& operator=(const NamedLock&) = delete;

    bool valid() const { return fd_ >= 0; }
    // Waits without limit. Returns false only when the lock file is unusable.
    bool lock();
    void unlock();

private:
    std::mutex mu_;
    int fd_ = -1;
};

// Starts a detached thread with the given stack size (rounded up to the system minimum).
bool start_thread(void (*body)(void*), void* arg, size_t stack_size);

uint32_t process_id();

// False when no process `pid` exists any more.
bool process_alive(uint32_t pid);

}  // namespace prt::plat
