#include "platform/telnet.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace prt::plat::telnet {
namespace {

using Bytes = std::vector<uint8_t>;

// Records what the decoder reports, with adjacent data runs merged so that the same stream
// split differently gives the same record.
class Recorder : public Sink {
  public:
    struct Event {
        char kind;  // 'd' data, 'o' option, 'c' com port command
        uint8_t a = 0, b = 0;
        Bytes bytes;
        bool operator==(const Event&) const = default;
    };
    std::vector<Event> events;

    void on_data(std::span<const uint8_t> bytes) override {
        if (!events.empty() && events.back().kind == 'd') {
            events.back().bytes.insert(events.back().bytes.end(), bytes.begin(), bytes.end());
        } else {
            events.push_back({'d', 0, 0, Bytes(bytes.begin(), bytes.end())});
        }
    }
    void on_option(uint8_t verb, uint8_t option) override {
        events.push_back({'o', verb, option, {}});
    }
    void on_com_port(uint8_t code, std::span<const uint8_t> value) override {
        events.push_back({'c', code, 0, Bytes(value.begin(), value.end())});
    }
};

TEST(TelnetEncode, DataDoublesEveryIac) {
    const struct {
        Bytes in, out;
    } cases[] = {
        {{}, {}},
        {{0x41}, {0x41}},
        {{0xFF}, {0xFF, 0xFF}},
        {{0xFF, 0xFF}, {0xFF, 0xFF, 0xFF, 0xFF}},
        {{0x00, 0xFF, 0x10, 0xFE}, {0x00, 0xFF, 0xFF, 0x10, 0xFE}},
    };
    for (const auto& c : cases) {
        Bytes out(2 * c.in.size() + 1, 0xAA);
        out.resize(escape_data(c.in, out.data()));
        EXPECT_EQ(out, c.out);
    }
}

TEST(TelnetEncode, ComPortCommandsAreGolden) {
    const struct {
        uint8_t code;
        Bytes value, wire;
    } cases[] = {
        // SET-BAUDRATE 9600, big-endian.
        {1, {0x00, 0x00, 0x25, 0x80}, {0xFF, 0xFA, 44, 1, 0x00, 0x00, 0x25, 0x80, 0xFF, 0xF0}},
        // SET-MODEMSTATE-MASK 0xFF: the value byte is doubled inside the sub-negotiation.
        {11, {0xFF}, {0xFF, 0xFA, 44, 11, 0xFF, 0xFF, 0xFF, 0xF0}},
        // SET-BAUDRATE 0x00FFFF01 (two IACs in the value).
        {1,
         {0x00, 0xFF, 0xFF, 0x01},
         {0xFF, 0xFA, 44, 1, 0x00, 0xFF, 0xFF, 0xFF, 0xFF, 0x01, 0xFF, 0xF0}},
        // PURGE-DATA acknowledgement from a server, and a command without a value.
        {112, {3}, {0xFF, 0xFA, 44, 112, 3, 0xFF, 0xF0}},
        {7, {}, {0xFF, 0xFA, 44, 7, 0xFF, 0xF0}},
    };
    for (const auto& c : cases) {
        Bytes out(subneg_max_size(c.value.size()));
        out.resize(encode_com_port(c.code, c.value, out.data()));
        EXPECT_EQ(out, c.wire) << "code " << int(c.code);
    }
    uint8_t opt[3];
    ASSERT_EQ(encode_option(kWill, kOptComPort, opt), 3u);
    EXPECT_EQ(Bytes(opt, opt + 3), (Bytes{0xFF, 0xFB, 44}));
}

// One stream with every construct the decoder knows, including IAC inside data and inside
// a sub-negotiation value, a NOP, and a sub-negotiation of another option.
const Bytes kStream = {
    'a',  0xFF, 0xFF, 'b',                                      // data with a doubled IAC
    0xFF, 0xFB, 44,                                             // WILL COM-PORT-OPTION
    0xFF, 0xFA, 44,   107, 0x31, 0xFF, 0xF0,                    // NOTIFY-MODEMSTATE 0x31
    0xFF, 0xF1,                                                 // NOP
    'c',                                                        //
    0xFF, 0xFA, 44,   111, 0xFF, 0xFF, 0xFF, 0xF0,              // SET-MODEMSTATE-MASK 0xFF
    0xFF, 0xFA, 24,   0,   'x',  0xFF, 0xF0,                    // another option: dropped
    0xFF, 0xFD, 0,                                              // DO BINARY
    0xFF, 0xFF,                                                 // data 0xFF
    0xFF, 0xFA, 44,   101, 0x00, 0x00, 0x4B, 0x00, 0xFF, 0xF0,  // baud answer 19200
    'd',
};

std::vector<Recorder::Event> expected_events() {
    return {
        {'d', 0, 0, {'a', 0xFF, 'b'}},
        {'o', kWill, 44, {}},
        {'c', 107, 0, {0x31}},
        {'d', 0, 0, {'c'}},
        {'c', 111, 0, {0xFF}},
        {'o', kDo, 0, {}},
        {'d', 0, 0, {0xFF}},
        {'c', 101, 0, {0x00, 0x00, 0x4B, 0x00}},
        {'d', 0, 0, {'d'}},
    };
}

TEST(TelnetDecode, WholeStream) {
    Recorder r;
    Decoder d;
    d.feed(kStream, r);
    EXPECT_EQ(r.events, expected_events());
}

TEST(TelnetDecode, SplitAtEveryBoundaryGivesTheSameEvents) {
    for (size_t cut = 0; cut <= kStream.size(); ++cut) {
        Recorder r;
        Decoder d;
        d.feed(std::span<const uint8_t>(kStream).first(cut), r);
        d.feed(std::span<const uint8_t>(kStream).subspan(cut), r);
        EXPECT_EQ(r.events, expected_events()) << "cut at " << cut;
    }
    Recorder r;
    Decoder d;
    for (const uint8_t b : kStream) d.feed(std::span<const uint8_t>(&b, 1), r);
    EXPECT_EQ(r.events, expected_events()) << "byte by byte";
}

TEST(TelnetDecode, OverlongSubnegotiationIsCutAndTheStreamGoesOn) {
    Bytes s = {0xFF, 0xFA, 44, 100};
    for (int i = 0; i < 100; ++i) s.push_back('s');
    s.insert(s.end(), {0xFF, 0xF0, 'z'});
    Recorder r;
    Decoder d;
    d.feed(s, r);
    ASSERT_EQ(r.events.size(), 2u);
    EXPECT_EQ(r.events[0].kind, 'c');
    EXPECT_EQ(r.events[0].bytes.size(), Decoder::kMaxValue);
    EXPECT_EQ(r.events[1], (Recorder::Event{'d', 0, 0, {'z'}}));
}

const uint8_t kSupported[] = {kOptBinary, kOptSga, kOptComPort};

Bytes receive(Negotiator& n, uint8_t verb, uint8_t option) {
    uint8_t out[3];
    return Bytes(out, out + n.receive(verb, option, out));
}

TEST(TelnetNegotiation, AnswersRequestsOnceAndNeverAnswersAcknowledgements) {
    const struct {
        const char* name;
        bool request_local, request_remote;  // what we asked before the peer's verb
        uint8_t verb, option;
        Bytes reply;
        bool local_on, remote_on;
    } cases[] = {
        {"peer offers a supported option",
         false,
         false,
         kWill,
         kOptComPort,
         {0xFF, kDo, kOptComPort},
         false,
         true},
        {"peer asks for a supported option",
         false,
         false,
         kDo,
         kOptBinary,
         {0xFF, kWill, kOptBinary},
         true,
         false},
        {"peer offers an unknown option",
         false,
         false,
         kWill,
         kOptEcho,
         {0xFF, kDont, kOptEcho},
         false,
         false},
        {"peer asks for an unknown option", false, false, kDo, 24, {0xFF, kWont, 24}, false, false},
        {"peer asks for an option past the table",
         false,
         false,
         kDo,
         200,
         {0xFF, kWont, 200},
         false,
         false},
        {"DO acknowledges our WILL", true, false, kDo, kOptComPort, {}, true, false},
        {"WILL acknowledges our DO", false, true, kWill, kOptComPort, {}, false, true},
        {"DONT refuses our WILL", true, false, kDont, kOptComPort, {}, false, false},
        {"WONT to an option never on", false, false, kWont, kOptSga, {}, false, false},
        {"DONT to an unknown option", false, false, kDont, kOptEcho, {}, false, false},
    };
    for (const auto& c : cases) {
        Negotiator n(kSupported);
        uint8_t req[3];
        if (c.request_local) {
            ASSERT_EQ(n.request_local(c.option, req), 3u);
        }
        if (c.request_remote) {
            ASSERT_EQ(n.request_remote(c.option, req), 3u);
        }
        EXPECT_EQ(receive(n, c.verb, c.option), c.reply) << c.name;
        EXPECT_EQ(n.local_enabled(c.option), c.local_on) << c.name;
        EXPECT_EQ(n.remote_enabled(c.option), c.remote_on) << c.name;
        // Once on, the same verb again is a repeat: never answered.
        if (c.local_on || c.remote_on) {
            EXPECT_TRUE(receive(n, c.verb, c.option).empty()) << c.name << " (repeat)";
        }
    }
}

TEST(TelnetNegotiation, RefusalAndSwitchOff) {
    Negotiator n(kSupported);
    uint8_t req[3];
    ASSERT_EQ(n.request_local(kOptComPort, req), 3u);
    EXPECT_EQ(n.request_local(kOptComPort, req), 0u) << "a pending request is not repeated";
    EXPECT_TRUE(receive(n, kDont, kOptComPort).empty());
    EXPECT_TRUE(n.local_refused(kOptComPort));

    // An enabled option switched off by the peer is confirmed once.
    EXPECT_EQ(receive(n, kWill, kOptSga), (Bytes{0xFF, kDo, kOptSga}));
    EXPECT_EQ(receive(n, kWont, kOptSga), (Bytes{0xFF, kDont, kOptSga}));
    EXPECT_TRUE(receive(n, kWont, kOptSga).empty());
    EXPECT_FALSE(n.remote_enabled(kOptSga));
}

// Two negotiators that both start at once settle on every option in both directions,
// and the exchange ends (nobody answers an acknowledgement).
TEST(TelnetNegotiation, BothSidesStartingConverges) {
    Negotiator a(kSupported), b(kSupported);
    Bytes to_b, to_a;
    uint8_t buf[3];
    for (const uint8_t o : kSupported) {
        to_b.insert(to_b.end(), buf, buf + a.request_local(o, buf));
        to_b.insert(to_b.end(), buf, buf + a.request_remote(o, buf));
        to_a.insert(to_a.end(), buf, buf + b.request_local(o, buf));
        to_a.insert(to_a.end(), buf, buf + b.request_remote(o, buf));
    }
    int rounds = 0;
    while ((!to_a.empty() || !to_b.empty()) && rounds < 10) {
        Bytes next_a, next_b;
        for (size_t i = 0; i + 2 < to_b.size(); i += 3) {
            next_a.insert(next_a.end(), buf, buf + b.receive(to_b[i + 1], to_b[i + 2], buf));
        }
        for (size_t i = 0; i + 2 < to_a.size(); i += 3) {
            next_b.insert(next_b.end(), buf, buf + a.receive(to_a[i + 1], to_a[i + 2], buf));
        }
        to_a = next_a;
        to_b = next_b;
        ++rounds;
    }
    EXPECT_TRUE(to_a.empty() && to_b.empty()) << "negotiation did not settle";
    for (const uint8_t o : kSupported) {
        EXPECT_TRUE(a.local_enabled(o) && a.remote_enabled(o)) << int(o);
        EXPECT_TRUE(b.local_enabled(o) && b.remote_enabled(o)) << int(o);
    }
}

}  // namespace
}  // namespace prt::plat::telnet
