// The emulated printer on an RFC 2217 network serial port, for tests and for prtsim.
//
// Typical use in a test:
//
//     prt::emu::Config cfg;               // model 0x1C, level 0x30, REMS unit, fresh start
//     prt::emu::Emulator emu(cfg);
//     ASSERT_TRUE(emu.start("127.0.0.1", 0));   // ephemeral loopback port
//     ... open emu.url() with the driver or port_open, exchange frames ...
//     emu.insert_document();                    // script events and faults
//     EXPECT_TRUE(emu.wait_for([&] { return emu.counters().polls[1] >= 3; }, 2000));
//     emu.stop();                               // also done by the destructor
//
// Everything a Printer offers (printer.h: events, faults, records, command()) is available
// on the Emulator and is thread-safe. One host is served at a time: a second connection
// while one is active is refused by the server.
#pragma once

#include <cstdint>
#include <memory>
#include <mutex>
#include <string>

#include "emulator/printer.h"

namespace prt::emu {

namespace detail {
// The Line of an Emulator: forwards to its server while one runs, else drops. A base of
// Emulator placed before Printer, so it exists before the Printer is made.
class ServerLine : public Line {
  public:
    void send(std::span<const uint8_t> bytes) override;
    void set_modem(bool cts, bool dsr) override;
    void send_break() override;
    void attach(plat::rfc2217::Server* server);

  private:
    std::mutex mu_;
    plat::rfc2217::Server* server_ = nullptr;
};
struct ServerLineHolder {
    ServerLine server_line;
};
}  // namespace detail

class Emulator : private detail::ServerLineHolder, public Printer {
  public:
    explicit Emulator(Config config = {});
    ~Emulator() override;

    // Listens on host:port (port 0 picks a free one) and serves from a thread of its own.
    // Returns false, with the reason in error(), when the address cannot be bound or the
    // emulator already runs.
    bool start(const std::string& host, uint16_t port);
    // Drops the host and stops listening. Records stay readable.
    void stop();

    uint16_t port() const;
    std::string url() const;  // "rfc2217://HOST:PORT"
    bool connected() const;
    std::string error() const;

  private:
    mutable std::mutex mu_;
    std::unique_ptr<plat::rfc2217::Server> server_;
    std::string host_;
    std::string error_;
};

}  // namespace prt::emu
