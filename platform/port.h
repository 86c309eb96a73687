// Serial port interface used by the link driver.
//
// A port is either a local serial device (termios) or an RFC 2217 network port
// ("rfc2217://host:port"). Both sit behind the same handle-based calls, so the driver
// above cannot tell them apart. The handle is the port's file descriptor as an unsigned
// 32-bit number (the socket for RFC 2217 ports); kInvalidHandle marks a failed open.
//
// Every call returns false on failure and leaves the OS error number for last_error().
// Calls on one handle must not run concurrently from several threads; different handles
// are independent. The exchange paths (read, write, lines, purge, break) do not allocate.
#pragma once

#include <cstdint>
#include <string>

namespace prt::plat {

constexpr uint32_t kInvalidHandle = 0xFFFFFFFFu;

// Modem-line bits, as the driver's traces record them.
constexpr uint32_t kModemCts = 0x0010;
constexpr uint32_t kModemDsr = 0x0020;
constexpr uint32_t kModemRing = 0x0040;
constexpr uint32_t kModemCd = 0x0080;

// Line error flags, as the driver's traces record them.
constexpr uint32_t kErrRxOver = 0x0001;
constexpr uint32_t kErrOverrun = 0x0002;
constexpr uint32_t kErrParity = 0x0004;
constexpr uint32_t kErrFrame = 0x0008;
constexpr uint32_t kErrBreak = 0x0010;

// Total read and write time-out of a port, before time scaling (see clock.h).
constexpr uint32_t kPortTimeoutMs = 500;

struct LineSettings {
    uint32_t baud = 9600;
    uint8_t data_bits = 8;
    uint8_t stop_bits = 2;  // 1 or 2
};

// Opens a device exclusively: a second open from any process fails until the first
// closes, and a dead holder holds nothing. `device` is a tty path or rfc2217://host:port.
// RFC 2217 connects with a time-out and negotiates before returning.
bool port_open(const std::string& device, uint32_t* handle);
bool port_close(uint32_t handle);

// 8 data bits, no parity, 1 or 2 stop bits, no flow control, raw.
bool port_configure(uint32_t handle, const LineSettings& settings);

// Discards everything queued in both directions. On RFC 2217 the purge is asynchronous:
// data that arrives before the server's acknowledgement is dropped by later reads.
bool port_purge(uint32_t handle);

// Writes all of `count` bytes within the port time-out; `written` gets what was written.
// A short count is a failure.
bool port_write(uint32_t handle, const uint8_t* data, uint32_t count, uint32_t* written);

// Reads up to `count` bytes, waiting at most the port time-out in total. Returns true with
// a short `got` on time-out, false when the port failed or the peer is gone.
bool port_read(uint32_t handle, uint8_t* data, uint32_t count, uint32_t* got);

bool port_set_rts(uint32_t handle, bool on);
bool port_set_dtr(uint32_t handle, bool on);
bool port_set_break(uint32_t handle, bool on);

// Current modem lines (kModem* bits). On RFC 2217 this is the last state the server
// notified, after taking in whatever has already arrived on the connection.
bool port_modem_status(uint32_t handle, uint32_t* bits);

// Line errors seen since the last call (kErr* bits), then cleared.
bool port_take_errors(uint32_t handle, uint32_t* flags);

// The OS error number of the calling thread's last failed platform call.
int last_error();
void set_last_error(int err);

}  // namespace prt::plat
