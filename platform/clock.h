// Time for the driver's waits. Every sleep and time-out of the link goes through here so
// that tests can run a 34-second time-out in a fraction of that: they set a time scale
// below 1. Production code never changes the scale, so production timing is exactly the
// designed one. Clocks: waits use the monotonic clock; trace times use UTC wall-clock.
#pragma once

#include <cstdint>

namespace prt::plat {

constexpr uint32_t kInfinite = 0xFFFFFFFFu;

// Sleeps `ms` milliseconds times the time scale on the monotonic clock. 0 yields the
// rest of the time slice.
void sleep_ms(uint32_t ms);

// `ms` times the time scale, at least 1 for a non-zero `ms`; kInfinite stays kInfinite.
uint32_t scaled_ms(uint32_t ms);

// Milliseconds on the monotonic clock (not scaled).
uint64_t monotonic_ms();

// For tests only: 1.0 is real time; 0.1 makes every wait ten times shorter.
void set_time_scale(double scale);
double time_scale();

struct UtcTime {
    uint16_t year, month, day, hour, minute, second, millisecond;
};
UtcTime utc_now();

}  // namespace prt::plat
