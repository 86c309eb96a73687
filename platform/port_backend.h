// Private seam between the handle-based port calls (port.cpp) and the two backends: the
// local tty (tty_linux.cpp) and the RFC 2217 client (rfc2217_client.cpp).
//
// A backend owns its file descriptor; fd() is the handle given to the caller. Every call
// returns false on failure with errno set. Calls on one backend come from one thread at a
// time (the caller's contract in port.h); the exchange paths must not allocate.
#pragma once

#include <cstdint>
#include <memory>
#include <string>

#include "platform/port.h"

namespace prt::plat {

class PortBackend {
  public:
    virtual ~PortBackend() = default;
    virtual int fd() const = 0;
    virtual bool configure(const LineSettings& settings) = 0;
    virtual bool purge() = 0;
    virtual bool write(const uint8_t* data, uint32_t count, uint32_t* written) = 0;
    virtual bool read(uint8_t* data, uint32_t count, uint32_t* got) = 0;
    virtual bool set_rts(bool on) = 0;
    virtual bool set_dtr(bool on) = 0;
    virtual bool set_break(bool on) = 0;
    virtual bool modem_status(uint32_t* bits) = 0;
    virtual bool take_errors(uint32_t* flags) = 0;
    // Releases the descriptor and the exclusive lock.
    virtual bool close() = 0;
};

// Opens a local serial device exclusively (tty_linux.cpp). Null with errno on failure.
std::unique_ptr<PortBackend> open_tty_port(const std::string& path);

// Connects to "host:port" (the part after "rfc2217://"), takes the per-address lock and
// negotiates (rfc2217_client.cpp). Null with errno on failure.
std::unique_ptr<PortBackend> open_rfc2217_port(const std::string& address);

}  // namespace prt::plat
