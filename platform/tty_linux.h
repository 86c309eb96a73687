// Private: the local tty backend's line control, behind a replaceable layer of ioctl calls
// so that tests can check the logic (modem bit mapping, error counter differences, break)
// without a real UART. The kernel calls themselves live in tty_linux.cpp only.
#pragma once

#include <cstdint>
#include <memory>
#include <string>

#include "platform/port_backend.h"

namespace prt::plat::tty {

// Modem-line bits as the kernel's TIOCMGET reports them (checked against the kernel
// headers in tty_linux.cpp).
constexpr int kTiocmDtr = 0x002;
constexpr int kTiocmRts = 0x004;
constexpr int kTiocmCts = 0x020;
constexpr int kTiocmCar = 0x040;
constexpr int kTiocmRng = 0x080;
constexpr int kTiocmDsr = 0x100;

// The line-error counters of TIOCGICOUNT that the port reports.
struct Counters {
    uint32_t frame = 0;
    uint32_t overrun = 0;
    uint32_t parity = 0;
    uint32_t brk = 0;
    uint32_t buf_overrun = 0;
};

// The ioctl layer. Each call returns 0, or -1 with errno set.
struct Ops {
    int (*get_modem)(int fd, int* tiocm_bits);          // TIOCMGET
    int (*set_modem)(int fd, int tiocm_bits, bool on);  // TIOCMBIS / TIOCMBIC
    int (*set_break)(int fd, bool on);                  // TIOCSBRK / TIOCCBRK
    int (*get_counters)(int fd, Counters* counters);    // TIOCGICOUNT
    int (*flush)(int fd);                               // tcflush(TCIOFLUSH)
    int (*exclusive)(int fd);                           // TIOCEXCL
};

// The real kernel calls.
const Ops& kernel_ops();

// Opens `path` exclusively (open, flock, TIOCEXCL through `ops`). The backend keeps `ops`
// by reference: it must outlive the port. Null with errno on failure.
std::unique_ptr<PortBackend> open_port(const std::string& path, const Ops& ops);

}  // namespace prt::plat::tty
