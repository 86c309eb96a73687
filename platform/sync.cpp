#include "platform/sync.h"

#include <cerrno>
#include <chrono>
#include <climits>
#include <fcntl.h>
#include <pthread.h>
#include <signal.h>
#include <sys/file.h>
#include <unistd.h>

#include "platform/names.h"

namespace prt::plat {
namespace {

// Waits on `cv` until `ready()` holds or `ms` (scaled) have passed; 0 tries once.
template <typename Ready>
bool wait_until_ready(std::unique_lock<std::mutex>& lk, std::condition_variable& cv, uint32_t ms,
                      Ready ready) {
    if (ms == 0) return ready();
    if (ms == kInfinite) {
        cv.wait(lk, ready);
        return true;
    }
    const auto until = std::chrono::steady_clock::now() + std::chrono::milliseconds(scaled_ms(ms));
    return cv.wait_until(lk, until, ready);
}

}  // namespace

uint32_t Semaphore::wait(uint32_t ms) {
    std::unique_lock<std::mutex> lk(mu_);
    if (!wait_until_ready(lk, cv_, ms, [this] { return count_ > 0; })) return kWaitTimeout;
    --count_;
    return kWaitObject0;
}

bool Semaphore::release() {
    std::lock_guard<std::mutex> lk(mu_);
    if (count_ >= max_) {
        errno = EOVERFLOW;
        return false;
    }
    ++count_;
    cv_.notify_one();
    return true;
}

uint32_t Event::wait(uint32_t ms) {
    std::unique_lock<std::mutex> lk(mu_);
    if (!wait_until_ready(lk, cv_, ms, [this] { return set_; })) return kWaitTimeout;
    if (!manual_) set_ = false;
    return kWaitObject0;
}

void Event::set() {
    std::lock_guard<std::mutex> lk(mu_);
    set_ = true;
    cv_.notify_all();
}

void Event::reset() {
    std::lock_guard<std::mutex> lk(mu_);
    set_ = false;
}

bool Event::is_set() {
    std::lock_guard<std::mutex> lk(mu_);
    return set_;
}

NamedLock::NamedLock(const std::string& name) {
    const std::string path = runtime_path(name);
    fd_ = ::open(path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0600);
}

NamedLock::~NamedLock() {
    if (fd_ >= 0) ::close(fd_);
}

bool NamedLock::lock() {
    if (fd_ < 0) return false;
    mu_.lock();
    while (::flock(fd_, LOCK_EX) != 0) {
        if (errno != EINTR) {
            mu_.unlock();
            return false;
        }
    }
    return true;
}

void NamedLock::unlock() {
    ::flock(fd_, LOCK_UN);
    mu_.unlock();
}

namespace {
struct ThreadStart {
    void (*body)(void*);
    void* arg;
};

void* thread_trampoline(void* p) {
    const ThreadStart start = *static_cast<ThreadStart*>(p);
    delete static_cast<ThreadStart*>(p);
    start.body(start.arg);
    return nullptr;
}
}  // namespace

bool start_thread(void (*body)(void*), void* arg, size_t stack_size) {
    // The design's 4096-byte stacks are far below what the C library (and the sanitizers)
    // need on Linux; the request is a lower bound.
#if defined(__SANITIZE_ADDRESS__)
    constexpr size_t kMinStack = 1u << 20;
#else
    constexpr size_t kMinStack = 64u * 1024u;
#endif
    size_t size = stack_size < kMinStack ? kMinStack : stack_size;
    if (size < static_cast<size_t>(PTHREAD_STACK_MIN)) size = PTHREAD_STACK_MIN;
    pthread_attr_t attr;
    if (pthread_attr_init(&attr) != 0) return false;
    pthread_attr_setstacksize(&attr, size);
    pthread_attr_setdetachstate(&attr, PTHREAD_CREATE_DETACHED);
    auto* start = new ThreadStart{body, arg};
    pthread_t tid;
    const int rc = pthread_create(&tid, &attr, thread_trampoline, start);
    pthread_attr_destroy(&attr);
    if (rc != 0) {
        delete start;
        errno = rc;
        return false;
    }
    return true;
}

uint32_t process_id() { return static_cast<uint32_t>(::getpid()); }

bool process_alive(uint32_t pid) {
    if (pid == 0) return false;
    return ::kill(static_cast<pid_t>(pid), 0) == 0 || errno == EPERM;
}

}  // namespace prt::plat
