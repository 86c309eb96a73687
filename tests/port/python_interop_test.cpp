// Interoperability with python3-serial's RFC 2217 implementation: our client against its
// server (PortManager), and its client against our server. The Python side runs as a
// child process on a loopback port.
#include <atomic>
#include <string>
#include <vector>

#include "platform/port.h"
#include "platform/rfc2217_server.h"
#include "port_test_util.h"

namespace prt::plat {
namespace {

using Bytes = std::vector<uint8_t>;
using prt::test::Child;
using prt::test::wait_until;

constexpr char kPython[] = "/usr/bin/python3";
const std::string kDir = PRT_PORT_TEST_DIR;

bool python_serial_available() {
    Child c;
    if (!c.start({kPython, "-c", "import serial.rfc2217"})) return false;
    return c.wait_exit() == 0;
}

#define SKIP_WITHOUT_PYTHON_SERIAL()                                                 \
    if (!python_serial_available()) {                                                \
        GTEST_SKIP() << kPython << " cannot import serial (install python3-serial)"; \
    }

// Reads `n` bytes through as many port time-outs as it takes, within a bounded number.
Bytes read_all(uint32_t h, size_t n) {
    Bytes out(n);
    size_t have = 0;
    for (int tries = 0; have < n && tries < 20; ++tries) {
        uint32_t got = 0;
        if (!port_read(h, out.data() + have, static_cast<uint32_t>(n - have), &got)) break;
        have += got;
    }
    out.resize(have);
    return out;
}

bool modem_is(uint32_t h, uint32_t want) {
    uint32_t bits = 0;
    return port_modem_status(h, &bits) && (bits & (kModemCts | kModemDsr)) == want;
}

TEST(PythonInterop, OurClientAgainstPythonSerialServer) {
    SKIP_WITHOUT_PYTHON_SERIAL();
    Child py;
    ASSERT_TRUE(py.start({kPython, kDir + "/py_rfc2217_server.py"}));
    std::string line;
    ASSERT_TRUE(py.read_line(&line));
    ASSERT_EQ(line.rfind("PORT ", 0), 0u) << line;
    const std::string url = "rfc2217://127.0.0.1:" + line.substr(5);

    uint32_t h = kInvalidHandle;
    ASSERT_TRUE(port_open(url, &h)) << "errno " << last_error();
    ASSERT_TRUE(port_configure(h, LineSettings{4800, 8, 2})) << "errno " << last_error();

    // The device is a loop-back plug: RTS drives CTS, DTR drives DSR.
    ASSERT_TRUE(port_set_rts(h, true));
    EXPECT_TRUE(wait_until([&] { return modem_is(h, kModemCts); }));
    ASSERT_TRUE(port_set_dtr(h, true));
    EXPECT_TRUE(wait_until([&] { return modem_is(h, kModemCts | kModemDsr); }));
    ASSERT_TRUE(port_set_rts(h, false));
    EXPECT_TRUE(wait_until([&] { return modem_is(h, kModemDsr); }));

    Bytes payload(256);
    for (int i = 0; i < 256; ++i) payload[i] = static_cast<uint8_t>(i);
    payload.insert(payload.end(), {0xFF, 0xFF});
    uint32_t written = 0;
    ASSERT_TRUE(port_write(h, payload.data(), static_cast<uint32_t>(payload.size()), &written));
    EXPECT_EQ(read_all(h, payload.size()), payload);

    ASSERT_TRUE(port_set_break(h, true));
    ASSERT_TRUE(port_set_break(h, false));
    // A purge must see the server's acknowledgement, or the echo below would be dropped.
    ASSERT_TRUE(port_purge(h));
    const Bytes fresh = {'f', 'r', 'e', 's', 'h'};
    ASSERT_TRUE(port_write(h, fresh.data(), static_cast<uint32_t>(fresh.size()), &written));
    EXPECT_EQ(read_all(h, fresh.size()), fresh);

    uint32_t flags = 0xDEAD;
    ASSERT_TRUE(port_take_errors(h, &flags));
    EXPECT_EQ(flags, 0u);
    ASSERT_TRUE(port_close(h));

    ASSERT_TRUE(py.read_line(&line));
    EXPECT_EQ(line,
              "SETTINGS baud=4800 bytesize=8 parity=N stopbits=2 breaks=1 purges=1 flow=none");
    EXPECT_EQ(py.wait_exit(), 0);
}

// A loop-back plug behind our server: echo, RTS drives CTS, DTR drives DSR. It answers
// from inside the callbacks.
class LoopbackDevice : public rfc2217::Device {
  public:
    std::atomic<rfc2217::Server*> server{nullptr};
    std::atomic<int> breaks{0};
    std::atomic<int> purges{0};
    std::atomic<uint32_t> baud{0};
    std::atomic<int> stop_bits{0};

    void on_data(std::span<const uint8_t> bytes) override { server.load()->send_data(bytes); }
    void on_rts(bool on) override {
        rts_ = on;
        server.load()->set_modem(rts_, dtr_);
    }
    void on_dtr(bool on) override {
        dtr_ = on;
        server.load()->set_modem(rts_, dtr_);
    }
    void on_break(bool on) override {
        if (on) ++breaks;
    }
    void on_line_settings(const rfc2217::ServerLineSettings& s) override {
        baud = s.baud;
        stop_bits = s.stop_bits;
    }
    void on_purge(uint8_t) override { ++purges; }

  private:
    bool rts_ = false;  // server thread only
    bool dtr_ = false;
};

TEST(PythonInterop, PythonSerialClientAgainstOurServer) {
    SKIP_WITHOUT_PYTHON_SERIAL();
    LoopbackDevice device;
    std::string err;
    auto server = rfc2217::Server::start("127.0.0.1", 0, device, &err);
    ASSERT_TRUE(server) << err;
    device.server = server.get();

    Child py;
    ASSERT_TRUE(
        py.start({kPython, kDir + "/py_rfc2217_client.py", std::to_string(server->port())}));
    std::string line, last;
    while (py.read_line(&line)) last = line;
    EXPECT_EQ(last, "OK");
    EXPECT_EQ(py.wait_exit(), 0);
    EXPECT_EQ(device.baud.load(), 19200u);
    EXPECT_EQ(device.stop_bits.load(), 2);
    EXPECT_EQ(device.breaks.load(), 1);
    EXPECT_GE(device.purges.load(), 1);
    server->stop();
}

}  // namespace
}  // namespace prt::plat
