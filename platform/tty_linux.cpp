// The local tty backend. Everything that needs Linux kernel headers lives in this file.
#include "platform/tty_linux.h"

#include <fcntl.h>
#include <linux/serial.h>
#include <poll.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>

#include "platform/clock.h"

namespace prt::plat::tty {

static_assert(kTiocmDtr == TIOCM_DTR && kTiocmRts == TIOCM_RTS && kTiocmCts == TIOCM_CTS &&
              kTiocmCar == TIOCM_CAR && kTiocmRng == TIOCM_RNG && kTiocmDsr == TIOCM_DSR);

namespace {

int k_get_modem(int fd, int* bits) {
    return ::ioctl(fd, TIOCMGET, bits);
}

int k_set_modem(int fd, int bits, bool on) {
    return ::ioctl(fd, on ? TIOCMBIS : TIOCMBIC, &bits);
}

int k_set_break(int fd, bool on) {
    return ::ioctl(fd, on ? TIOCSBRK : TIOCCBRK);
}

int k_get_counters(int fd, Counters* c) {
    serial_icounter_struct ic{};
    if (::ioctl(fd, TIOCGICOUNT, &ic) != 0) return -1;
    c->frame = static_cast<uint32_t>(ic.frame);
    c->overrun = static_cast<uint32_t>(ic.overrun);
    c->parity = static_cast<uint32_t>(ic.parity);
    c->brk = static_cast<uint32_t>(ic.brk);
    c->buf_overrun = static_cast<uint32_t>(ic.buf_overrun);
    return 0;
}

int k_flush(int fd) {
    return ::tcflush(fd, TCIOFLUSH);
}

int k_exclusive(int fd) {
    return ::ioctl(fd, TIOCEXCL);
}

const Ops kKernelOps{k_get_modem, k_set_modem, k_set_break, k_get_counters, k_flush, k_exclusive};

bool baud_constant(uint32_t baud, speed_t* out) {
    switch (baud) {
        case 1200:
            *out = B1200;
            return true;
        case 2400:
            *out = B2400;
            return true;
        case 4800:
            *out = B4800;
            return true;
        case 9600:
            *out = B9600;
            return true;
        case 19200:
            *out = B19200;
            return true;
        default:
            return false;
    }
}

// Drivers without counters (ptys, some USB adapters) answer one of these.
bool no_counters(int err) {
    return err == ENOTTY || err == EINVAL;
}

class TtyPort final : public PortBackend {
  public:
    TtyPort(int fd, const Ops& ops) : fd_(fd), ops_(ops) {
        // Errors count from the open on; a driver without counters reports none.
        have_snapshot_ = ops_.get_counters(fd_, &snapshot_) == 0;
    }
    ~TtyPort() override { close(); }

    int fd() const override { return fd_; }

    bool configure(const LineSettings& s) override {
        speed_t speed = 0;
        if (!baud_constant(s.baud, &speed) || s.data_bits != 8 ||
            (s.stop_bits != 1 && s.stop_bits != 2)) {
            errno = EINVAL;
            return false;
        }
        termios t{};
        if (::tcgetattr(fd_, &t) != 0) return false;
        // Raw bytes both ways. A received break is ignored in the data (no NUL byte) but
        // still counted by the driver, which is where take_errors finds it.
        t.c_iflag &= ~static_cast<tcflag_t>(BRKINT | PARMRK | ISTRIP | INLCR | IGNCR | ICRNL |
                                            IXON | IXOFF | IXANY | INPCK | IGNPAR);
        t.c_iflag |= IGNBRK;
        t.c_oflag &= ~static_cast<tcflag_t>(OPOST);
        t.c_lflag &= ~static_cast<tcflag_t>(ECHO | ECHONL | ICANON | ISIG | IEXTEN);
        t.c_cflag &= ~static_cast<tcflag_t>(CSIZE | PARENB | PARODD | CSTOPB | CRTSCTS | HUPCL);
        t.c_cflag |= CS8 | CREAD | CLOCAL;
        if (s.stop_bits == 2) t.c_cflag |= CSTOPB;
        t.c_cc[VMIN] = 0;
        t.c_cc[VTIME] = 0;
        if (::cfsetispeed(&t, speed) != 0 || ::cfsetospeed(&t, speed) != 0) return false;
        return ::tcsetattr(fd_, TCSANOW, &t) == 0;
    }

    bool purge() override { return ops_.flush(fd_) == 0; }

    bool write(const uint8_t* data, uint32_t count, uint32_t* written) override {
        const uint64_t deadline = monotonic_ms() + scaled_ms(kPortTimeoutMs);
        while (*written < count) {
            const ssize_t n = ::write(fd_, data + *written, count - *written);
            if (n > 0) {
                *written += static_cast<uint32_t>(n);
                continue;
            }
            if (n < 0 && errno == EINTR) continue;
            if (n < 0 && errno != EAGAIN) return false;
            if (!wait_ready(POLLOUT, deadline)) return false;
        }
        return true;
    }

    bool read(uint8_t* data, uint32_t count, uint32_t* got) override {
        const uint64_t deadline = monotonic_ms() + scaled_ms(kPortTimeoutMs);
        // With VMIN = VTIME = 0 an idle line reads 0 bytes; only a 0 right after poll()
        // reported input means the device is gone.
        bool ready = false;
        while (*got < count) {
            const ssize_t n = ::read(fd_, data + *got, count - *got);
            if (n > 0) {
                *got += static_cast<uint32_t>(n);
                ready = false;
                continue;
            }
            if (n == 0 && ready) {
                errno = EIO;
                return false;
            }
            if (n < 0 && errno == EINTR) continue;
            if (n < 0 && errno != EAGAIN) return false;
            if (!wait_ready(POLLIN, deadline)) return errno == ETIMEDOUT;
            ready = true;
        }
        return true;
    }

    bool set_rts(bool on) override { return ops_.set_modem(fd_, kTiocmRts, on) == 0; }
    bool set_dtr(bool on) override { return ops_.set_modem(fd_, kTiocmDtr, on) == 0; }
    bool set_break(bool on) override { return ops_.set_break(fd_, on) == 0; }

    bool modem_status(uint32_t* bits) override {
        int m = 0;
        if (ops_.get_modem(fd_, &m) != 0) return false;
        uint32_t out = 0;
        if (m & kTiocmCts) out |= kModemCts;
        if (m & kTiocmDsr) out |= kModemDsr;
        if (m & kTiocmRng) out |= kModemRing;
        if (m & kTiocmCar) out |= kModemCd;
        *bits = out;
        return true;
    }

    bool take_errors(uint32_t* flags) override {
        *flags = 0;
        Counters now{};
        if (ops_.get_counters(fd_, &now) != 0) return no_counters(errno);
        if (have_snapshot_) {
            // Counters only grow; unsigned differences survive their wrap-around.
            if (now.buf_overrun != snapshot_.buf_overrun) *flags |= kErrRxOver;
            if (now.overrun != snapshot_.overrun) *flags |= kErrOverrun;
            if (now.parity != snapshot_.parity) *flags |= kErrParity;
            if (now.frame != snapshot_.frame) *flags |= kErrFrame;
            if (now.brk != snapshot_.brk) *flags |= kErrBreak;
        }
        snapshot_ = now;
        have_snapshot_ = true;
        return true;
    }

    bool close() override {
        if (fd_ < 0) return true;
        const int rc = ::close(fd_);  // drops the flock with the last descriptor
        fd_ = -1;
        return rc == 0 || errno == EINTR;
    }

  private:
    // Waits for `events` until `deadline`. False with ETIMEDOUT at the deadline, or with
    // another errno when the device is gone.
    bool wait_ready(short events, uint64_t deadline) {
        for (;;) {
            const uint64_t now = monotonic_ms();
            if (now >= deadline) {
                errno = ETIMEDOUT;
                return false;
            }
            pollfd p{fd_, events, 0};
            const int r = ::poll(&p, 1, static_cast<int>(deadline - now));
            if (r < 0) {
                if (errno == EINTR) continue;
                return false;
            }
            if (r == 0) continue;  // the deadline check above ends the wait
            if (p.revents & events) return true;
            if (p.revents & (POLLHUP | POLLERR | POLLNVAL)) {
                errno = EIO;
                return false;
            }
        }
    }

    int fd_;
    const Ops& ops_;
    Counters snapshot_{};
    bool have_snapshot_ = false;
};

}  // namespace

const Ops& kernel_ops() {
    return kKernelOps;
}

std::unique_ptr<PortBackend> open_port(const std::string& path, const Ops& ops) {
    const int fd = ::open(path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) return nullptr;
    // The advisory lock keeps out every other opener, root included (TIOCEXCL lets root
    // pass); it dies with the process.
    if (::flock(fd, LOCK_EX | LOCK_NB) != 0) {
        const int err = errno == EWOULDBLOCK ? EBUSY : errno;
        ::close(fd);
        errno = err;
        return nullptr;
    }
    if (::isatty(fd) == 0 || ops.exclusive(fd) != 0) {
        const int err = errno;
        ::close(fd);
        errno = err;
        return nullptr;
    }
    return std::make_unique<TtyPort>(fd, ops);
}

}  // namespace prt::plat::tty

namespace prt::plat {

std::unique_ptr<PortBackend> open_tty_port(const std::string& path) {
    return tty::open_port(path, tty::kernel_ops());
}

}  // namespace prt::plat
