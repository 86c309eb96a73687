#include "platform/clock.h"

#include <atomic>
#include <cerrno>
#include <ctime>
#include <sched.h>

namespace prt::plat {
namespace {
std::atomic<double> g_scale{1.0};
}

void set_time_scale(double scale) { g_scale.store(scale > 0 ? scale : 1.0); }
double time_scale() { return g_scale.load(); }

uint32_t scaled_ms(uint32_t ms) {
    if (ms == kInfinite || ms == 0) return ms;
    const double s = g_scale.load();
    if (s == 1.0) return ms;
    const double v = static_cast<double>(ms) * s;
    if (v < 1.0) return 1;
    if (v >= static_cast<double>(kInfinite - 1)) return kInfinite - 1;
    return static_cast<uint32_t>(v);
}

uint64_t monotonic_ms() {
    timespec ts{};
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return static_cast<uint64_t>(ts.tv_sec) * 1000u + static_cast<uint64_t>(ts.tv_nsec) / 1000000u;
}

void sleep_ms(uint32_t ms) {
    if (ms == 0) {
        sched_yield();
        return;
    }
    const uint64_t us = static_cast<uint64_t>(static_cast<double>(ms) * 1000.0 * g_scale.load());
    timespec now{};
    clock_gettime(CLOCK_MONOTONIC, &now);
    timespec until = now;
    until.tv_sec += static_cast<time_t>(us / 1000000u);
    until.tv_nsec += static_cast<long>((us % 1000000u) * 1000u);
    if (until.tv_nsec >= 1000000000L) {
        until.tv_sec += 1;
        until.tv_nsec -= 1000000000L;
    }
    while (clock_nanosleep(CLOCK_MONOTONIC, TIMER_ABSTIME, &until, nullptr) == EINTR) {
    }
}

UtcTime utc_now() {
    timespec ts{};
    clock_gettime(CLOCK_REALTIME, &ts);
    tm t{};
    gmtime_r(&ts.tv_sec, &t);
    return UtcTime{static_cast<uint16_t>(t.tm_year + 1900), static_cast<uint16_t>(t.tm_mon + 1),
                   static_cast<uint16_t>(t.tm_mday),        static_cast<uint16_t>(t.tm_hour),
                   static_cast<uint16_t>(t.tm_min),         static_cast<uint16_t>(t.tm_sec),
                   static_cast<uint16_t>(ts.tv_nsec / 1000000)};
}

}  // namespace prt::plat
