#include "platform/port.h"

#include <array>
#include <atomic>
#include <cerrno>
#include <mutex>

#include "platform/port_backend.h"

namespace prt::plat {
namespace {

// Handles are file descriptors, so a table indexed by fd finds the backend without a
// lock or an allocation on the exchange paths. Descriptors past the table are refused at
// open.
constexpr size_t kMaxPorts = 4096;
std::array<std::atomic<PortBackend*>, kMaxPorts> g_ports{};
// Serialises open and close against each other; lookups stay lock-free.
std::mutex g_table_mu;

thread_local int t_last_error = 0;

constexpr std::string_view kRfc2217Prefix = "rfc2217://";

PortBackend* find(uint32_t handle) {
    if (handle >= kMaxPorts) return nullptr;
    return g_ports[handle].load(std::memory_order_acquire);
}

// Runs `op` on the handle's backend; an unknown handle fails with EBADF. Keeps the OS
// error of a failure for last_error().
template <typename Op>
bool with_port(uint32_t handle, Op op) {
    PortBackend* port = find(handle);
    if (port == nullptr) {
        set_last_error(EBADF);
        return false;
    }
    errno = 0;
    if (op(*port)) return true;
    set_last_error(errno != 0 ? errno : EIO);
    return false;
}

}  // namespace

int last_error() {
    return t_last_error;
}
void set_last_error(int err) {
    t_last_error = err;
}

bool port_open(const std::string& device, uint32_t* handle) {
    if (handle != nullptr) *handle = kInvalidHandle;
    if (handle == nullptr || device.empty()) {
        set_last_error(EINVAL);
        return false;
    }
    errno = 0;
    std::unique_ptr<PortBackend> port =
        device.starts_with(kRfc2217Prefix) ? open_rfc2217_port(device.substr(kRfc2217Prefix.size()))
                                           : open_tty_port(device);
    if (!port) {
        set_last_error(errno != 0 ? errno : EIO);
        return false;
    }
    const int fd = port->fd();
    if (fd < 0 || static_cast<size_t>(fd) >= kMaxPorts) {
        port->close();
        set_last_error(EMFILE);
        return false;
    }
    {
        std::lock_guard<std::mutex> lock(g_table_mu);
        // The fd is ours and open, so no live entry can hold it. A stale entry would mean its
        // descriptor was closed behind our back; it is dropped without deleting it, because
        // its destructor would close the descriptor that is now ours.
        (void)g_ports[fd].exchange(port.release(), std::memory_order_acq_rel);
    }
    *handle = static_cast<uint32_t>(fd);
    return true;
}

bool port_close(uint32_t handle) {
    PortBackend* port = nullptr;
    {
        std::lock_guard<std::mutex> lock(g_table_mu);
        if (handle < kMaxPorts) port = g_ports[handle].exchange(nullptr, std::memory_order_acq_rel);
    }
    if (port == nullptr) {
        set_last_error(EBADF);
        return false;
    }
    errno = 0;
    const bool ok = port->close();
    const int err = errno;
    delete port;
    if (!ok) set_last_error(err != 0 ? err : EIO);
    return ok;
}

bool port_configure(uint32_t handle, const LineSettings& settings) {
    return with_port(handle, [&](PortBackend& p) { return p.configure(settings); });
}

bool port_purge(uint32_t handle) {
    return with_port(handle, [](PortBackend& p) { return p.purge(); });
}

bool port_write(uint32_t handle, const uint8_t* data, uint32_t count, uint32_t* written) {
    uint32_t dummy = 0;
    uint32_t* out = written != nullptr ? written : &dummy;
    *out = 0;
    if (data == nullptr && count != 0) {
        set_last_error(EINVAL);
        return false;
    }
    return with_port(handle, [&](PortBackend& p) { return p.write(data, count, out); });
}

bool port_read(uint32_t handle, uint8_t* data, uint32_t count, uint32_t* got) {
    uint32_t dummy = 0;
    uint32_t* out = got != nullptr ? got : &dummy;
    *out = 0;
    if (data == nullptr && count != 0) {
        set_last_error(EINVAL);
        return false;
    }
    return with_port(handle, [&](PortBackend& p) { return p.read(data, count, out); });
}

bool port_set_rts(uint32_t handle, bool on) {
    return with_port(handle, [&](PortBackend& p) { return p.set_rts(on); });
}

bool port_set_dtr(uint32_t handle, bool on) {
    return with_port(handle, [&](PortBackend& p) { return p.set_dtr(on); });
}

bool port_set_break(uint32_t handle, bool on) {
    return with_port(handle, [&](PortBackend& p) { return p.set_break(on); });
}

bool port_modem_status(uint32_t handle, uint32_t* bits) {
    if (bits == nullptr) {
        set_last_error(EINVAL);
        return false;
    }
    return with_port(handle, [&](PortBackend& p) { return p.modem_status(bits); });
}

bool port_take_errors(uint32_t handle, uint32_t* flags) {
    if (flags == nullptr) {
        set_last_error(EINVAL);
        return false;
    }
    return with_port(handle, [&](PortBackend& p) { return p.take_errors(flags); });
}

}  // namespace prt::plat
