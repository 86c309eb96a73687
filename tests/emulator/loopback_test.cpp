// The emulated printer driven from the host's side over a real loopback RFC 2217
// connection, byte by byte.
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <memory>
#include <thread>

#include "emulator/emulator.h"
#include "tests/emulator/host.h"

namespace prt::emu {
namespace {

using test::crc_good;
using test::Host;
using test::ReadMode;
using Bytes = std::vector<uint8_t>;

const Bytes kPollPrint = {0x1B, 0x5B, 0x63, 0x04, 0x00, 0x01, 0xCD, 0xDD, 0xE8};
const Bytes kPollRems = {0x1B, 0x5B, 0x63, 0x04, 0x00, 0x02, 0xCD, 0xB5, 0xC2};
const Bytes kLinkReset = {0x1B, 0x5B, 0x63, 0x04, 0x00, 0x00, 0xCC, 0x8C, 0xE0};

Bytes data_of(const Bytes& answer) {
    return answer.size() > 9 ? Bytes(answer.begin() + 7, answer.end() - 2) : Bytes{};
}

class EmuLoopback : public ::testing::Test {
  protected:
    void start(Config cfg = {}, ReadMode mode = ReadMode::RtsOn) {
        test::use_private_runtime();
        emu = std::make_unique<Emulator>(std::move(cfg));
        ASSERT_TRUE(emu->start("127.0.0.1", 0)) << emu->error();
        ASSERT_NE(emu->port(), 0);
        host = std::make_unique<Host>(mode);
        ASSERT_TRUE(host->open(emu->url()));
        ASSERT_TRUE(host->wait_modem(plat::kModemCts, true));
    }
    // Takes the POR statuses so that the link is ready.
    void take_por() {
        ASSERT_EQ(host->next_status(1).at(0) & 0x80, 0x80);
        if (emu_has_rems) {
            ASSERT_EQ(host->next_status(2).at(2) & 0x80, 0x80);
        }
    }
    bool wait_text(const std::string& part) {
        return emu->wait_for(
            [&] {
                for (const auto& r : emu->frames()) {
                    if (r.text.find(part) != std::string::npos) return true;
                }
                return false;
            },
            2000);
    }

    std::unique_ptr<Emulator> emu;
    std::unique_ptr<Host> host;
    bool emu_has_rems = true;
};

TEST_F(EmuLoopback, PowerOnResetStatusesAndTheirAcknowledgement) {
    start();
    // Golden poll of the print unit, tag 0 and echo 0.
    host->purge();
    host->write(kPollPrint);
    const Bytes por = host->read_answer();
    ASSERT_TRUE(crc_good(por));
    // Length 9: five status bytes; control: room, next sequence bit, new answer bit.
    EXPECT_EQ(Bytes(por.begin(), por.begin() + 6), (Bytes{0x1B, 0x5B, 0x63, 0x09, 0x00, 0x01}));
    EXPECT_EQ(por[6] & 0x70, 0x70);
    EXPECT_EQ(data_of(por), (Bytes{0x80, 0x00, 0x1C, 0x00, 0x30}));
    host->take(por);

    // Until acknowledged, a poll with the old answer bit gets the same status again.
    host->purge();
    host->write(kPollPrint);
    EXPECT_EQ(host->read_answer(), por);

    const Bytes ack = host->poll(1);
    ASSERT_TRUE(crc_good(ack));
    EXPECT_EQ(Host::length(ack), 4u);
    EXPECT_EQ(ack[6] & 0x30, 0x30) << "an ack carries the printer's bit and the answer bit";

    const Bytes rems = host->poll(2);
    EXPECT_EQ(data_of(rems), (Bytes{0, 0, 0x80, 0x00, 0x00, 0x00, 0x30, 0x00}));
    EXPECT_EQ(rems[6] & 0x30, 0x00) << "second status: both bits toggled back";
    EXPECT_EQ(host->poll(2).size(), 9u);
    EXPECT_EQ(host->poll(1).size(), 9u);
    EXPECT_EQ(emu->counters().statuses_delivered, 2u);
    EXPECT_EQ(emu->counters().polls[1], 4u);
}

TEST_F(EmuLoopback, IdentificationComesFromTheConfiguration) {
    struct Case {
        uint8_t model, level, features;
        bool rems, por_error;
        Bytes print_por;
        Bytes rems_por;  // empty: no REMS POR; a poll of unit 2 gets an ack
    };
    const Case cases[] = {
        {0x19, 0x20, 0x01, false, false, {0x80, 0x00, 0x19, 0x01, 0x20}, {}},
        {0x1A, 0x45, 0x80, false, true, {0x80, 0x10, 0x1A, 0x80, 0x45}, {}},
        {0x40,
         0x3C,
         0x00,
         true,
         false,
         {0x80, 0x00, 0x40, 0x00, 0x3C},
         {0, 0, 0x80, 0x10, 0, 0x07, 0x31, 0}},
        {0xD0, 0x30, 0x80, false, false, {0x80, 0x01, 0xD0, 0x80, 0x30}, {}},
        {0xD0,
         0x30,
         0x80,
         true,
         false,
         {0x80, 0x00, 0xD0, 0x80, 0x30},
         {0, 0, 0x80, 0x10, 0, 0x07, 0x31, 0}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.model);
        Config cfg;
        cfg.model = c.model;
        cfg.level = c.level;
        cfg.features = c.features;
        cfg.rems = c.rems;
        cfg.por_error = c.por_error;
        cfg.rems_features = 0x07;
        cfg.rems_level = 0x31;
        cfg.rems_por_error = true;
        start(cfg, ReadMode::RtsOn);
        EXPECT_EQ(host->next_status(1), c.print_por);
        if (c.rems_por.empty()) {
            EXPECT_EQ(host->poll(2).size(), 9u);
        } else {
            EXPECT_EQ(host->next_status(2), c.rems_por);
        }
        host.reset();
        emu.reset();
    }
}

TEST_F(EmuLoopback, LongOnStartAndLinkReset) {
    Config cfg;
    cfg.long_on = true;
    start(cfg);
    EXPECT_EQ(host->poll(1).size(), 9u) << "no POR pending on a printer long switched on";
    // Move the link bits away from zero with a data frame.
    host->write(host->data_frame(1, {'A'}));
    EXPECT_EQ(data_of(host->poll(1)), (Bytes{0, 0, 0, 0, 0}));
    EXPECT_EQ(host->poll(1).size(), 9u);

    // Half a frame, then the golden link-reset frame: the partial frame is dropped and
    // nothing is sent in reply.
    host->write({0x1B, 0x5B, 0x63, 0x08});
    host->write(kLinkReset);
    ASSERT_TRUE(emu->wait_for([&] { return emu->counters().link_resets == 1; }, 2000));
    EXPECT_TRUE(host->read_raw(1).empty());
    host->tag = host->echo = 0;
    host->purge();
    host->write(kPollPrint);
    const Bytes por = host->read_answer();
    EXPECT_EQ(data_of(por), (Bytes{0x80, 0x00, 0x1C, 0x00, 0x30}));
    EXPECT_EQ(por[6] & 0x30, 0x30);
}

TEST_F(EmuLoopback, DataFramesFollowTheSequenceBit) {
    start();
    take_por();
    // 300 bytes: a full segment of 256 and a last one of 44; completion only after the last.
    Bytes text(300);
    for (size_t i = 0; i < text.size(); ++i) text[i] = static_cast<uint8_t>('a' + i % 26);
    const Bytes first = host->data_frame(1, Bytes(text.begin(), text.begin() + 256), false);
    host->write(first);
    Bytes ack = host->poll(1);
    ASSERT_EQ(ack.size(), 9u);
    EXPECT_EQ(ack[6] & kCtlSeq, host->tag) << "the ack carries the taken frame's bit";
    // The same frame again (a retransmission) is dropped.
    host->write(first);
    EXPECT_EQ(host->poll(1).size(), 9u);
    host->write(host->data_frame(1, Bytes(text.begin() + 256, text.end())));
    EXPECT_EQ(data_of(host->poll(1)), (Bytes{0, 0, 0, 0, 0})) << "clean completion";
    EXPECT_EQ(host->poll(1).size(), 9u);
    EXPECT_EQ(emu->print_log(), text);
    const Counters c = emu->counters();
    EXPECT_EQ(c.data_taken, 2u);
    EXPECT_EQ(c.data_repeats, 1u);
    EXPECT_EQ(c.completions, 1u);
}

TEST_F(EmuLoopback, BytePacedHandshake) {
    start({}, ReadMode::BytePaced);
    // The whole exchange, with the release checks, runs inside read_answer.
    const Bytes por = host->poll(1);
    EXPECT_EQ(data_of(por), (Bytes{0x80, 0x00, 0x1C, 0x00, 0x30}));
    EXPECT_EQ(host->poll(1).size(), 9u);
    // No byte goes out without its RTS pulse: after DSR rises nothing arrives on its own.
    host->send_poll(1);
    ASSERT_TRUE(host->wait_modem(plat::kModemDsr, true));
    EXPECT_TRUE(host->read_raw(1).empty());
    const Bytes ack = host->read_paced(9);
    EXPECT_TRUE(crc_good(ack));
    EXPECT_TRUE(host->read_raw(1).empty());
    ASSERT_TRUE(plat::port_set_rts(host->handle(), true));
    EXPECT_TRUE(host->wait_modem(plat::kModemDsr, false));
}

TEST_F(EmuLoopback, BlockTransferByLevelOrByForce) {
    for (Config cfg : {Config{}, Config{}}) {
        if (emu) {
            cfg.handshake = Handshake::Block;
        } else {
            cfg.level = 0x45;  // auto: block transfer for levels 0x40..0x4F
        }
        host.reset();
        emu.reset();
        start(cfg, ReadMode::Block);
        const Bytes por = host->poll(1);
        EXPECT_EQ(data_of(por).at(0), 0x80);
        EXPECT_EQ(host->poll(1).size(), 9u);
    }
}

TEST_F(EmuLoopback, NoHandshakeWhenForced) {
    Config cfg;
    cfg.handshake = Handshake::None;
    start(cfg, ReadMode::RtsOn);
    ASSERT_TRUE(plat::port_set_rts(host->handle(), false));
    host->send_poll(1);
    const Bytes por = host->read_answer();  // arrives without any RTS edge
    EXPECT_EQ(data_of(por).at(0), 0x80);
}

TEST_F(EmuLoopback, PowerIsCts) {
    start();
    take_por();
    emu->command("power off");
    ASSERT_TRUE(host->wait_modem(plat::kModemCts, false));
    host->send_poll(1);
    ASSERT_TRUE(wait_text("(power off)"));
    EXPECT_TRUE(host->read_raw(1).empty());
    EXPECT_EQ(emu->counters().answers, 4u);

    emu->command("power on");
    ASSERT_TRUE(host->wait_modem(plat::kModemCts, true));
    host->tag = host->echo = 0;
    EXPECT_EQ(host->next_status(1).at(0), 0x80);
    EXPECT_EQ(host->next_status(2).at(2), 0x80);
}

TEST_F(EmuLoopback, HostBreakDropsPartialFrame) {
    start();
    take_por();
    host->write({0x1B, 0x5B, 0x63, 0x04, 0x00});
    ASSERT_TRUE(plat::port_set_break(host->handle(), true));
    ASSERT_TRUE(plat::port_set_break(host->handle(), false));
    ASSERT_TRUE(emu->wait_for([&] { return emu->counters().breaks_received == 1; }, 2000));
    EXPECT_EQ(host->poll(1).size(), 9u);
    EXPECT_EQ(emu->counters().bad_frames, 0u);
}

TEST_F(EmuLoopback, PrinterBreakReachesTheHost) {
    start();
    host->take_errors();
    EXPECT_EQ(emu->command("break"), "ok");
    const uint64_t end = plat::monotonic_ms() + 2000;
    uint32_t errs = 0;
    while (!(errs & plat::kErrBreak) && plat::monotonic_ms() < end) {
        host->modem();  // takes in what arrived
        errs |= host->take_errors();
    }
    EXPECT_EQ(errs, plat::kErrBreak);
}

TEST_F(EmuLoopback, ScriptedEventsInTheDecodedPositions) {
    struct Case {
        const char* command;
        uint8_t unit;
        Bytes data;
    };
    const Case cases[] = {
        {"insert", 1, {0x08, 0, 0, 0, 0}},
        {"remove", 1, {0x40, 0, 0, 0, 0}},
        {"eod", 1, {0x02, 0, 0, 0, 0}},
        {"nodoc", 1, {0x40, 0, 0, 0, 0}},
        {"key stop", 1, {0x01, 0, 0, 0, 0}},
        {"key cover", 1, {0x01, 0, 0, 0, 0}},
        {"key start1", 1, {0x20, 0, 0, 0, 0}},
        {"key start2", 1, {0x10, 0, 0, 0, 0}},
        {"key mf", 1, {0, 0x40, 0, 0, 0}},
        {"key mf1", 1, {0, 0, 0x08, 0, 0}},
        {"key mf2", 1, {0, 0, 0x04, 0, 0}},
        {"key mf3", 1, {0, 0, 0x02, 0, 0}},
        {"error prt", 1, {0, 0x02, 0, 0, 0}},
        {"error prt 01", 1, {0, 0x01, 0, 0, 0}},
        {"exception prt", 1, {0, 0x20, 0, 0, 0}},
        {"available prt", 1, {0, 0, 0x10, 0, 0}},
        {"status prt 00 00 20 34 12", 1, {0, 0, 0x20, 0x34, 0x12}},
        {"error rems", 2, {0, 0, 0, 0x04, 0, 0, 0, 0}},
        {"exception rems", 2, {0, 0, 0, 0x01, 0, 0, 0, 0}},
        {"available rems", 2, {0, 0, 0x01, 0, 0, 0, 0, 0}},
        {"status rems 00 00 01 02 03", 2, {0, 0, 0, 0, 0x01, 0x02, 0x03, 0}},
    };
    start();
    take_por();
    for (const Case& c : cases) {
        SCOPED_TRACE(c.command);
        ASSERT_EQ(emu->command(c.command), "ok");
        EXPECT_EQ(host->next_status(c.unit), c.data);
    }
    // A document inserted shows in the next POR status too.
    emu->command("insert");
    host->next_status(1);
    emu->command("power cycle");
    host->tag = host->echo = 0;
    EXPECT_EQ(host->next_status(1).at(0), 0x88);
}

TEST_F(EmuLoopback, RemsCommands) {
    start();
    take_por();
    // Attributes, stripe write, stripe read, MICR read: each completes with a REMS status.
    host->write(host->data_frame(2, {0x1B, 0x5B, 0x63, 0x05, 0x00, 0x01, 0x02, 0x01, 0x00, 0x02}));
    EXPECT_EQ(host->next_status(2), (Bytes{0, 0, 0, 0, 0, 0, 0, 0}));
    Bytes write = {0x1B, 0x5B, 0x63, 0x07, 0x00, 0x01, 0x03, 0x00, 'S', 'T', 'R', 'P'};
    host->write(host->data_frame(2, write));
    EXPECT_EQ(host->next_status(2), (Bytes{0, 0, 0, 0, 0, 0, 0, 0}));
    host->write(host->data_frame(2, {0x1B, 0x5B, 0x63, 0x03, 0x00, 0x01, 0x04, 0x00}));
    EXPECT_EQ(host->next_status(2), (Bytes{0, 0, 0, 0, 0, 0, 0, 4, 0, 'S', 'T', 'R', 'P'}));
    emu->command("micr 123<45");
    host->write(host->data_frame(2, {0x1B, 0x5B, 0x63, 0x03, 0x00, 0x03, 0x04, 0x02}));
    EXPECT_EQ(host->next_status(2),
              (Bytes{0, 0, 0, 0, 0, 0, 0, 6, 0, '1', '2', '3', '<', '4', '5'}));

    const auto cmds = emu->rems_commands();
    ASSERT_EQ(cmds.size(), 4u);
    EXPECT_EQ(cmds[0].function, 0x02);
    EXPECT_EQ(cmds[0].params, (Bytes{0x01, 0x00, 0x02}));
    EXPECT_EQ(cmds[1].function, 0x03);
    EXPECT_EQ(cmds[3].device, 0x03);
    EXPECT_EQ(cmds[3].params, (Bytes{0x02}));
    EXPECT_TRUE(emu->print_log().empty());
}

TEST_F(EmuLoopback, PrintUnitReadIsAMultiPartAnswer) {
    Config cfg;
    cfg.model = 0xD0;
    cfg.rems = false;
    emu_has_rems = false;
    start(cfg);
    take_por();
    emu->command("prtdata 01 02 03 04 05 06 07 08 09 0A 0B 0C 0D 0E");
    host->write(host->data_frame(1, {0x1B, 0x5B, 0x63, 0x03, 0x00, 0x02, 0x17, 0x40}));
    EXPECT_EQ(host->next_status(1), (Bytes{0, 0, 0x01, 0, 0})) << "completion, more data";
    EXPECT_EQ(host->next_status(1), (Bytes{14, 1, 2, 3, 4}));
    EXPECT_EQ(host->next_status(1), (Bytes{5, 6, 7, 8, 9}));
    EXPECT_EQ(host->next_status(1), (Bytes{10, 11, 12, 13, 14}));
    EXPECT_EQ(host->poll(1).size(), 9u);
    EXPECT_TRUE(emu->print_log().empty()) << "the read command is not print data";
}

TEST_F(EmuLoopback, PrintRateAndBufferRoom) {
    Config cfg;
    cfg.print_rate = 100;
    cfg.buffer_size = 300;
    start(cfg);
    take_por();
    EXPECT_TRUE(host->poll(1)[6] & kCtlRoom);
    host->write(host->data_frame(1, Bytes(100, 'x')));
    // 100 bytes at 100 bytes a second: a second of printing, during which 200 bytes of room
    // are not enough for another frame.
    const Bytes busy = host->poll(1);
    ASSERT_EQ(busy.size(), 9u);
    EXPECT_FALSE(busy[6] & kCtlRoom);
    Bytes done;
    const uint64_t end = plat::monotonic_ms() + 5000;
    while (done.empty() && plat::monotonic_ms() < end) done = data_of(host->poll(1));
    EXPECT_EQ(done, (Bytes{0, 0, 0, 0, 0}));
    EXPECT_TRUE(host->poll(1)[6] & kCtlRoom);
}

TEST_F(EmuLoopback, WireTimingPacesTheAnswer) {
    Config cfg;
    cfg.wire_timing = true;
    start(cfg);
    plat::LineSettings ls;
    ls.baud = 4800;
    ls.stop_bits = 2;
    ASSERT_TRUE(plat::port_configure(host->handle(), ls));
    // Real port time-outs here, so that the paced answer has room to arrive.
    const double scale = plat::time_scale();
    plat::set_time_scale(1.0);
    const auto t0 = std::chrono::steady_clock::now();
    const Bytes por = host->poll(1);
    const auto took = std::chrono::steady_clock::now() - t0;
    plat::set_time_scale(scale);
    ASSERT_EQ(por.size(), 14u);
    // Lower bound only: 9 bytes in and 14 out at 11 bits a byte at 4800 baud.
    EXPECT_GE(took, std::chrono::microseconds(23 * 11 * 1000000 / 4800));
}

// ---- Faults -------------------------------------------------------------------------------

TEST_F(EmuLoopback, FaultLoseAnswerThenRepeat) {
    start({}, ReadMode::BytePaced);
    emu->command("fault lose-answer");
    host->send_poll(1);
    ASSERT_TRUE(wait_text("(lost)"));
    EXPECT_FALSE(host->modem() & plat::kModemDsr) << "no answer: DSR stays down";
    // The driver's repeat, with the same bits, gets the status.
    EXPECT_EQ(data_of(host->poll(1)).at(0), 0x80);
}

TEST_F(EmuLoopback, FaultBadCrc) {
    start();
    emu->command("fault bad-crc");
    const Bytes bad = host->poll(1);
    ASSERT_EQ(bad.size(), 14u);
    EXPECT_FALSE(crc_good(bad));
    host->echo = 0;  // the driver rejects it and repeats with the old bits
    host->tag = 0;
    const Bytes good = host->poll(1);
    EXPECT_TRUE(crc_good(good));
    EXPECT_EQ(data_of(good), data_of(bad));
}

TEST_F(EmuLoopback, FaultWrongSequenceBitMakesTheDriverResend) {
    start();
    take_por();
    const Bytes frame = host->data_frame(1, {'h', 'i'}, false);
    host->write(frame);
    emu->command("fault wrong-seq");
    const Bytes ack = host->poll(1);
    ASSERT_EQ(ack.size(), 9u);
    EXPECT_NE(ack[6] & kCtlSeq, host->tag) << "tag mismatch";
    host->write(frame);  // the driver's re-send of the same bytes is a repeat
    const Bytes ack2 = host->poll(1);
    EXPECT_EQ(ack2[6] & kCtlSeq, host->tag);
    EXPECT_EQ(emu->print_log(), (Bytes{'h', 'i'}));
    EXPECT_EQ(emu->counters().data_repeats, 1u);
}

TEST_F(EmuLoopback, FaultBreakInsteadOfAnswer) {
    start({}, ReadMode::BytePaced);
    host->take_errors();
    emu->command("fault break");
    host->send_poll(1);
    ASSERT_TRUE(wait_text("(break instead)"));
    // The emulator records the break as it sends it: give the notification time to arrive.
    uint32_t errors = 0;
    for (const uint64_t until = plat::monotonic_ms() + 2000;
         errors == 0 && plat::monotonic_ms() < until;) {
        errors = host->take_errors();
        if (errors == 0) std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    EXPECT_EQ(errors, plat::kErrBreak);
    EXPECT_FALSE(host->modem() & plat::kModemDsr);
    EXPECT_EQ(data_of(host->poll(1)).at(0), 0x80);
}

TEST_F(EmuLoopback, FaultDoubleStatus) {
    start();
    take_por();
    emu->command("insert");
    emu->command("fault double-status");
    EXPECT_EQ(data_of(host->poll(1)).at(0), 0x08);
    const Bytes second = host->poll(1);  // the acknowledging poll
    EXPECT_GT(second.size(), 9u);
    EXPECT_EQ(host->poll(1).size(), 9u);
}

TEST_F(EmuLoopback, FaultBusyForNPolls) {
    start();
    take_por();
    emu->command("fault busy 3");
    for (int i = 0; i < 3; ++i) EXPECT_FALSE(host->poll(1)[6] & kCtlRoom);
    EXPECT_TRUE(host->poll(1)[6] & kCtlRoom);
}

TEST_F(EmuLoopback, FaultNeverComplete) {
    start();
    take_por();
    emu->command("fault never-complete");
    host->write(host->data_frame(1, {'x'}));
    for (int i = 0; i < 3; ++i) EXPECT_EQ(host->poll(1).size(), 9u);
    host->write(host->data_frame(1, {'y'}));
    EXPECT_EQ(data_of(host->poll(1)), (Bytes{0, 0, 0, 0, 0}));
    EXPECT_EQ(emu->print_log(), (Bytes{'x', 'y'}));
    EXPECT_EQ(emu->page_text(), "xy");
}

TEST_F(EmuLoopback, FaultDropData) {
    start();
    take_por();
    emu->command("fault drop-data");
    const Bytes frame = host->data_frame(1, {'z'});
    host->write(frame);
    const Bytes ack = host->poll(1);
    ASSERT_EQ(ack.size(), 9u);
    EXPECT_NE(ack[6] & kCtlSeq, host->tag) << "lost frame shows as a tag mismatch";
    host->write(frame);
    EXPECT_EQ(data_of(host->poll(1)), (Bytes{0, 0, 0, 0, 0}));
    EXPECT_EQ(emu->print_log(), (Bytes{'z'}));
    EXPECT_EQ(emu->counters().data_dropped, 1u);
}

TEST_F(EmuLoopback, FaultRandomIsReproducibleBySeed) {
    // The same seed and the same host behaviour give the same answers, faults included.
    auto run = [&](uint32_t seed, std::vector<std::string>& out) {
        start();
        emu->fault_random(seed, 50);
        for (uint32_t i = 1; i <= 12; ++i) {
            host->send_poll(1);
            ASSERT_TRUE(emu->wait_for([&] { return emu->counters().answers == i; }, 2000));
            const std::string text = emu->frames().back().text;
            out.push_back(text);
            if (text.find("(lost)") == std::string::npos &&
                text.find("(break") == std::string::npos) {
                const Bytes a = host->read_answer();
                if (crc_good(a)) host->take(a);
            }
        }
        host.reset();
        emu.reset();
    };
    std::vector<std::string> first, second;
    run(7, first);
    run(7, second);
    EXPECT_EQ(first, second);
    int faulty = 0;
    for (const auto& t : first) {
        faulty += t.find('(') != std::string::npos || t.find("BAD-CRC") != std::string::npos;
    }
    EXPECT_GT(faulty, 0);
}

TEST_F(EmuLoopback, SecondConnectionIsRefused) {
    start();
    const int s = socket(AF_INET, SOCK_STREAM, 0);
    ASSERT_GE(s, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_port = htons(emu->port());
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    ASSERT_EQ(connect(s, reinterpret_cast<sockaddr*>(&a), sizeof a), 0);
    timeval tv{2, 0};
    setsockopt(s, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);
    char b[64];
    ssize_t n;
    while ((n = recv(s, b, sizeof b, 0)) > 0) {
    }
    EXPECT_EQ(n, 0) << "closed by the server";
    close(s);
    EXPECT_TRUE(emu->connected());
    EXPECT_EQ(data_of(host->poll(1)).at(0), 0x80);
}

}  // namespace
}  // namespace prt::emu
