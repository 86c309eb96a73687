// RFC 2217 (Telnet Com Port Control) server: puts a serial device of ours on a TCP port.
//
// The server owns one thread. It accepts one client at a time; a second connection while
// one is active is refused (accepted and closed at once). The device's callbacks run on the
// server thread, in the order the client's bytes and commands arrived. The send_* calls may
// be made from any thread, including from inside a callback; what they send reaches the
// client in call order, so a modem-state change sent before some data arrives before it.
#pragma once

#include <cstdint>
#include <memory>
#include <span>
#include <string>

namespace prt::plat::rfc2217 {

struct ServerLineSettings {
    uint32_t baud = 9600;
    uint8_t data_bits = 8;
    uint8_t parity = 1;     // 1 none, 2 odd, 3 even, 4 mark, 5 space
    uint8_t stop_bits = 1;  // 1, 2, 3 = 1.5
};

// The serial device behind the server, seen from the device's side.
class Device {
public:
    virtual ~Device() = default;
    virtual void on_connect() {}
    virtual void on_disconnect() {}
    // Bytes the host wrote to the line (telnet escaping already removed).
    virtual void on_data(std::span<const uint8_t> bytes) = 0;
    virtual void on_rts(bool /*on*/) {}
    virtual void on_dtr(bool /*on*/) {}
    virtual void on_break(bool /*on*/) {}
    virtual void on_line_settings(const ServerLineSettings& /*settings*/) {}
    // PURGE-DATA from the host: 1 receive buffer, 2 transmit buffer, 3 both.
    virtual void on_purge(uint8_t /*what*/) {}
};

class Server {
public:
    // Listens on host:port (port 0 picks a free one). Returns null and fills `error` when
    // the address cannot be bound.
    static std::unique_ptr<Server> start(const std::string& host, uint16_t port, Device& device,
                                         std::string* error);
    virtual ~Server() = default;

    virtual uint16_t port() const = 0;
    virtual bool connected() const = 0;

    // Data towards the host (0xFF doubled on the wire). Dropped while no client is
    // connected, like bytes on a line with nobody listening.
    virtual void send_data(std::span<const uint8_t> bytes) = 0;
    // Modem lines towards the host: NOTIFY-MODEMSTATE is sent at once on every change,
    // with the delta bits set, and always before data sent afterwards. The state is kept
    // across connections and sent to each new client after negotiation.
    virtual void set_modem(bool cts, bool dsr) = 0;
    // A break towards the host: NOTIFY-LINESTATE with break detect (0x10), whatever line
    // state mask the client set. Dropped while no client is connected; during the
    // negotiation it waits and follows the first modem state.
    virtual void send_break() = 0;

    // Stops listening, drops the client and joins the thread. Also done by the destructor.
    // Not from inside a callback (it would wait for its own thread).
    virtual void stop() = 0;
};

}  // namespace prt::plat::rfc2217
