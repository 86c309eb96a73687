// Transactions and the link's recovery against the emulated printer, in each handshake of
// the read side, and against a scripted peer where the printer's answers must be exact.
#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "emulator/emulator.h"
#include "platform/clock.h"
#include "prtlink.h"
#include "prtlink/core/shared.h"
#include "prtlink/link/link.h"
#include "tests/support/driver_env.h"

namespace {

using prt::test::DriverChild;
using prt::test::DriverEnv;
using prt::test::ScriptedPeer;
constexpr uint32_t kBad = PRT_INVALID_HANDLE_VALUE;

struct Mode {
    const char* name;
    int cts_line;
    uint8_t level;
};

class TransTest : public ::testing::TestWithParam<Mode> {
protected:
    void SetUp() override { prt::plat::set_time_scale(0.4); }
    void TearDown() override {
        if (h_ != kBad) PrtCloseDeviceX(h_);
        prtlink::Process_Detach();
        if (emu_) emu_->stop();
        prt::plat::set_time_scale(1.0);
    }
    // Starts the printer and opens it as printer 1.
    void start(bool long_on) {
        prt::emu::Config cfg;
        cfg.level = GetParam().level;
        cfg.long_on = long_on;
        emu_ = std::make_unique<prt::emu::Emulator>(cfg);
        ASSERT_TRUE(emu_->start("127.0.0.1", 0)) << emu_->error();
        env_.configure_printer(1, emu_->url(), GetParam().cts_line);
        env_.create_trace(1);
        ASSERT_TRUE(prtlink::Process_Attach());
        ASSERT_EQ(PrtOpenDeviceX(&h_, 1, 0), 0);
    }
    // A printer that has been identified in an earlier transaction.
    void start_identified() {
        start(false);
        ASSERT_EQ(PrtBeginTransX(h_, 0), PRT_POR_WITHOUT_STATUS);
        ASSERT_EQ(PrtEndTransX(h_), 0);
        env_.create_trace(1);  // each test looks at its own records only
    }
    prtlink::SlotShared& slot() { return prtlink::S(0); }
    std::string trace() { return env_.trace_text(1); }

    DriverEnv env_;
    std::unique_ptr<prt::emu::Emulator> emu_;
    uint32_t h_ = kBad;
};

TEST_P(TransTest, LongOnPrinterIsResetOnceAtTheFirstTransaction) {
    start(true);
    ASSERT_EQ(PrtBeginTransX(h_, 0), PRT_POR_WITHOUT_STATUS) << trace();
    EXPECT_EQ(emu_->counters().link_resets, 1u);
    EXPECT_EQ(slot().prt_por_mark, 0xDD);
    EXPECT_EQ(slot().rems_por_mark, 0xDD);
    EXPECT_EQ(slot().prt_model, 0x1C);
    EXPECT_EQ(slot().unit_level[0], GetParam().level);
    EXPECT_EQ(slot().slot_state, prtlink::kSlotInTrans);
    EXPECT_EQ(env_.count_tag(1, "Link Reset"), 1u);
    ASSERT_EQ(PrtEndTransX(h_), 0);
    EXPECT_EQ(slot().prt_por_mark, 0);
    EXPECT_EQ(slot().slot_state, prtlink::kSlotOpen);
    // Nothing changed since: a plain start, no further link reset.
    EXPECT_EQ(PrtBeginTransX(h_, 1), 0) << trace();
    EXPECT_EQ(emu_->counters().link_resets, 1u);
    EXPECT_EQ(PrtEndTransX(h_), 0);
}

TEST_P(TransTest, PrinterSwitchedOnReportsItsPowerOnAtTheStart) {
    start(false);
    ASSERT_EQ(PrtBeginTransX(h_, 0), PRT_POR_WITHOUT_STATUS) << trace();
    EXPECT_EQ(emu_->counters().link_resets, 0u);
    EXPECT_EQ(slot().prt_por_count, 1);
    EXPECT_EQ(slot().rems_por_flag, 0xFF) << "the REMS unit's reset was seen";
    EXPECT_EQ(slot().prt_por_mark, 0xDD);
    EXPECT_EQ(slot().rems_por_mark, 0xDD);
    ASSERT_EQ(PrtEndTransX(h_), 0);
    // Power-cycled between two transactions: the same handling again.
    emu_->power_off();
    emu_->power_on();
    EXPECT_EQ(PrtBeginTransX(h_, 0), PRT_POR_WITHOUT_STATUS) << trace();
    EXPECT_EQ(slot().prt_por_count, 2);
    EXPECT_EQ(emu_->counters().link_resets, 0u);
    EXPECT_EQ(PrtEndTransX(h_), 0);
}

TEST_P(TransTest, OneLostAnswerCostsOneRepeat) {
    start_identified();
    emu_->fault_lose_answer(1);
    EXPECT_EQ(PrtBeginTransX(h_, 0), 0) << trace();
    EXPECT_EQ(env_.count_tag(1, "RETRY OCCURED 1"), 1u) << trace();
    EXPECT_EQ(env_.count_tag(1, "RETRY FAILED 1"), 0u);
    // Waiting for DSR notices the loss first; without the handshake the read times out.
    const char* read_tag = GetParam().cts_line == 1 ? "wait dsr on" : "ReadFile  1";
    EXPECT_EQ(env_.count_tag(1, read_tag), 1u) << trace();
    EXPECT_EQ(emu_->counters().link_resets, 0u);
    EXPECT_EQ(PrtEndTransX(h_), 0);
}

TEST_P(TransTest, TwoLostAnswersEndInALinkResetAndACommunicationError) {
    start_identified();
    emu_->fault_lose_answer(2);
    EXPECT_EQ(prtlink::Poll_Unit(h_, 0, prtlink::kUnitPrint), PRT_COMM_ERROR) << trace();
    EXPECT_EQ(env_.count_tag(1, "RETRY FAILED 1"), 1u);
    EXPECT_EQ(emu_->counters().link_resets, 1u);
    EXPECT_EQ(slot().prt_model, 0x1C) << "the link reset brought the POR status";
    EXPECT_EQ(PrtBeginTransX(h_, 0), 0) << trace();
    EXPECT_EQ(PrtEndTransX(h_), 0);
}

TEST_P(TransTest, ALinkFailureAtTheStartDoesNotKeepTheTransaction) {
    start_identified();
    // Two lost answers, and the link reset's first poll as well: nothing is seen.
    emu_->power_off();
    EXPECT_EQ(PrtBeginTransX(h_, 0), PRT_COMM_ERROR) << trace();
    // Released, yet the state still names this caller, so a new start succeeds at once.
    EXPECT_EQ(slot().slot_state, prtlink::kSlotInTrans);
    EXPECT_EQ(slot().owner_handle, h_);
    emu_->power_on();
    EXPECT_EQ(PrtBeginTransX(h_, 0), PRT_POR_WITHOUT_STATUS) << trace();
    EXPECT_EQ(PrtEndTransX(h_), 0);
}

TEST_P(TransTest, ResetSeenInsideTheFirstPollIsReportedAsPowerOn) {
    start_identified();
    // The second lost answer makes the poll reset the link; the POR it brings makes the
    // start report a reset printer.
    emu_->fault_lose_answer(2);
    EXPECT_EQ(PrtBeginTransX(h_, 0), PRT_POR_WITHOUT_STATUS) << trace();
    EXPECT_EQ(emu_->counters().link_resets, 1u);
    EXPECT_EQ(PrtEndTransX(h_), 0);
}

TEST_P(TransTest, PrinterOffIsReportedWithoutFurtherPolls) {
    start_identified();
    emu_->power_off();
    const uint32_t polls = emu_->counters().polls[1];
    EXPECT_EQ(PrtBeginTransX(h_, 0), PRT_COMM_ERROR) << trace();
    const auto cts = env_.find_tag(1, "CTS OFF");
    ASSERT_TRUE(cts) << trace();
    EXPECT_EQ(cts->code(), 3024);
    EXPECT_TRUE(env_.find_tag(1, "printer off"));
    EXPECT_EQ(env_.count_tag(1, "RETRY OCCURED 1"), 0u);
    EXPECT_EQ(emu_->counters().polls[1], polls) << "a printer that is off answers nothing";
}

TEST_P(TransTest, TagMismatchIsRepeatedOnceThenTheLinkIsReset) {
    start_identified();
    emu_->fault_wrong_seq(1);
    EXPECT_EQ(PrtBeginTransX(h_, 0), 0) << trace();
    EXPECT_EQ(env_.count_tag(1, "TAG UNMATCH"), 1u);
    EXPECT_EQ(slot().unit_counters[0][2], 1);
    ASSERT_EQ(PrtEndTransX(h_), 0);
    emu_->fault_wrong_seq(2);
    EXPECT_EQ(prtlink::Poll_Unit(h_, 0, prtlink::kUnitPrint), PRT_COMM_ERROR) << trace();
    const auto rec = env_.find_tag(1, "resyncORtag");
    ASSERT_TRUE(rec) << trace();
    EXPECT_EQ(rec->code(), 2);
    EXPECT_EQ(emu_->counters().link_resets, 1u);
}

TEST_P(TransTest, TagMismatchWithADataFrameOutstandingAsksForTheResend) {
    start_identified();
    const uint32_t breaks = emu_->counters().breaks_received;
    slot().retransmit_mark = 0xCC;
    emu_->fault_wrong_seq(1);
    EXPECT_EQ(prtlink::Poll_Unit(h_, 0, prtlink::kUnitPrint), prtlink::kLinkTagMismatch);
    EXPECT_EQ(slot().retransmit_mark, 0xFF);
    EXPECT_EQ(emu_->counters().breaks_received, breaks) << "no resync";
    slot().retransmit_mark = 0;
}

TEST_P(TransTest, ASecondStatusToTheAcknowledgingPollIsALinkFailure) {
    start_identified();
    emu_->insert_document();
    emu_->fault_double_status(1);
    EXPECT_EQ(PrtBeginTransX(h_, 0), PRT_COMM_ERROR) << trace();
    EXPECT_TRUE(env_.find_tag(1, "doublestatus")) << trace();
    const auto statuses = env_.trace(1);
    std::vector<uint8_t> d0;
    for (const auto& r : statuses) {
        if (r.tag == "PRT_UNIT STATUS") d0.push_back(r.b[0]);
    }
    ASSERT_EQ(d0.size(), 2u) << trace();
    EXPECT_EQ(d0[0], 0x08) << "document inserted, then the second status";
    EXPECT_EQ(emu_->counters().link_resets, 0u) << "a plain resync only";
}

TEST_P(TransTest, ABreakFromThePrinterIsAnsweredAndThePollRepeated) {
    if (GetParam().cts_line != 1) GTEST_SKIP() << "breaks are seen while waiting for DSR";
    // The break must arrive within the DSR wait: give it the real 224 ms on a busy machine.
    prt::plat::set_time_scale(1.0);
    start_identified();
    const uint32_t breaks = emu_->counters().breaks_received;
    emu_->fault_break_answer(1);
    EXPECT_EQ(PrtBeginTransX(h_, 0), 0) << trace();
    EXPECT_EQ(env_.count_tag(1, "RESYNC DETECT"), 1u) << trace();
    EXPECT_EQ(emu_->counters().breaks_received, breaks + 1);
    EXPECT_EQ(PrtEndTransX(h_), 0);
}

INSTANTIATE_TEST_SUITE_P(Handshakes, TransTest,
                         ::testing::Values(Mode{"byte_paced", 1, 0x30}, Mode{"block", 1, 0x42},
                                           Mode{"rts_held", 2, 0x30}),
                         [](const auto& info) { return std::string(info.param.name); });

// Ownership rules need no particular handshake.
class OwnershipTest : public ::testing::Test {
protected:
    void SetUp() override {
        prt::plat::set_time_scale(0.2);
        prt::emu::Config cfg;
        cfg.long_on = true;
        emu_ = std::make_unique<prt::emu::Emulator>(cfg);
        emu2_ = std::make_unique<prt::emu::Emulator>(cfg);
        ASSERT_TRUE(emu_->start("127.0.0.1", 0));
        ASSERT_TRUE(emu2_->start("127.0.0.1", 0));
        env_.write_registry(
            "REGEDIT4\n[HKEY_LOCAL_MACHINE\\SOFTWARE\\prtlink\\Ports]\n\"COM1\"=\"" + emu_->url() +
            "\"\n\"COM2\"=\"" + emu2_->url() + "\"\n");
        env_.create_trace(1);
        ASSERT_TRUE(prtlink::Process_Attach());
        ASSERT_EQ(PrtOpenDeviceX(&h_, 1, 0), 0);
    }
    void TearDown() override {
        PrtCloseDeviceX(h_);
        prtlink::Process_Detach();
        prt::plat::set_time_scale(1.0);
    }
    DriverEnv env_;
    std::unique_ptr<prt::emu::Emulator> emu_, emu2_;
    uint32_t h_ = kBad;
};

TEST_F(OwnershipTest, OnlyTheHolderEndsItsTransaction) {
    EXPECT_EQ(PrtBeginTransX(h_, 2), PRT_INVALID_PARAMETERS);
    EXPECT_EQ(PrtBeginTransX(h_ + 100, 0), PRT_INVALID_HANDLE);
    EXPECT_EQ(PrtEndTransX(h_ + 100), PRT_INVALID_HANDLE);
    ASSERT_EQ(PrtBeginTransX(h_, 0), PRT_POR_WITHOUT_STATUS);
    EXPECT_EQ(PrtBeginTransX(h_, 0), PRT_ACCESS_DENIED) << "taken already, even by the holder";
    EXPECT_EQ(prtlink::S(0).owner_handle, h_) << "the first transaction stays";
    {
        DriverChild child;
        const std::string reply = child.call("open 2 0");
        ASSERT_EQ(reply.substr(0, 2), "0 ") << reply;
        EXPECT_EQ(child.call("end " + reply.substr(2)), "1294 " + reply.substr(2));
        EXPECT_EQ(child.call("end " + std::to_string(h_)), "1284 " + std::to_string(h_));
    }
    EXPECT_EQ(PrtEndTransX(h_), 0);
    EXPECT_EQ(PrtEndTransX(h_), PRT_ACCESS_DENIED) << "ended already";
}

TEST_F(OwnershipTest, ClosingTheHoldersHandleEndsTheTransaction) {
    ASSERT_EQ(PrtBeginTransX(h_, 0), PRT_POR_WITHOUT_STATUS);
    ASSERT_EQ(PrtCloseDeviceX(h_), 0);
    ASSERT_EQ(PrtOpenDeviceX(&h_, 1, 0), 0);
    EXPECT_EQ(PrtBeginTransX(h_, 0), 0);
    EXPECT_EQ(PrtEndTransX(h_), 0);
}

// A peer whose every answer is scripted: for answers the emulator would never give.
class PeerTest : public ::testing::Test {
protected:
    void SetUp() override {
        prt::plat::set_time_scale(0.2);
        env_.configure_printer(1, peer_.url(), 2);
        env_.create_trace(1);
        ASSERT_TRUE(prtlink::Process_Attach());
        ASSERT_EQ(PrtOpenDeviceX(&h_, 1, 0), 0);
    }
    void TearDown() override {
        PrtCloseDeviceX(h_);
        prtlink::Process_Detach();
        prt::plat::set_time_scale(1.0);
    }
    // Identifies the peer as a printer of `model` through a POR status.
    void identify(uint8_t model) {
        peer_.push(ScriptedPeer::status_frame(1, {0x80, 0x01, model, 0x00, 0x30}));
        ASSERT_EQ(prtlink::Poll_Unit(h_, 0, 1), PRT_DEVICE_EXCEPTION);
        ASSERT_EQ(prtlink::S(0).prt_model, model);
    }
    DriverEnv env_;
    ScriptedPeer peer_;
    uint32_t h_ = kBad;
};

TEST_F(PeerTest, LinkResetAnsweredOnlyByAcknowledgementsGivesNoPorStatus) {
    EXPECT_EQ(PrtBeginTransX(h_, 0), PRT_NO_POR_STATUS) << env_.trace_text(1);
    const auto rec = env_.find_tag(1, "POR PRT response");
    ASSERT_TRUE(rec);
    EXPECT_EQ(rec->code(), 3007);
    EXPECT_EQ(peer_.polls(), 1 + prtlink::kPorPrintPolls + 1);
    EXPECT_EQ(PrtEndTransX(h_), 0) << "the caller holds the transaction";
}

TEST_F(PeerTest, LinkResetAnsweredByAnotherStatusReturnsItsClassification) {
    peer_.push(ScriptedPeer::status_frame(1, {0x00, 0x00, 0x00, 0x00, 0x00}));
    EXPECT_EQ(prtlink::Resync_Link(h_, 0, 1, 0xFF), prtlink::kStatusClean);
    EXPECT_EQ(prtlink::S(0).unit_counters[0][3], 1);
    EXPECT_EQ(prtlink::S(0).resync_active, 0);
}

TEST_F(PeerTest, ResyncDuringAResyncIsRefused) {
    prtlink::S(0).resync_active = 0xFF;
    EXPECT_EQ(prtlink::Resync_Link(h_, 0, 1, 0xFF), PRT_COMM_ERROR);
    const auto rec = env_.find_tag(1, "double resync");
    ASSERT_TRUE(rec);
    EXPECT_EQ(rec->code(), 255);
    EXPECT_EQ(prtlink::S(0).resync_active, 0xFF) << "the running resync keeps its guard";
    EXPECT_EQ(env_.count_tag(1, "Link Reset"), 0u);
    prtlink::S(0).resync_active = 0;
}

TEST_F(PeerTest, AnAnswerLongerThanTheReceiveBufferIsRejectedUnread) {
    std::vector<uint8_t> big = ScriptedPeer::status_frame(1, std::vector<uint8_t>(200, 0x55));
    peer_.push(big);
    EXPECT_EQ(prtlink::Poll_Unit(h_, 0, 1), 0) << env_.trace_text(1);
    const auto rec = env_.find_tag(1, "headerORcrc");
    ASSERT_TRUE(rec);
    EXPECT_EQ(rec->code(), 3003);
    EXPECT_EQ(env_.count_tag(1, "RETRY OCCURED 1"), 1u);
}

TEST_F(PeerTest, MultiPartAnswerIsCollected) {
    identify(0xD0);
    peer_.push(ScriptedPeer::status_frame(1, {0x00, 0x00, 0x01, 0x00, 0x00}));
    peer_.push(ScriptedPeer::status_frame(1, {14, 0x81, 'a', 'b', 'c'}));
    peer_.push(ScriptedPeer::status_frame(1, {'d', 'e', 'f', 'g', 'h'}));
    peer_.push(ScriptedPeer::status_frame(1, {'i', 'j', 'k', 'l', 'm'}));
    EXPECT_EQ(prtlink::Poll_Unit(h_, 0, 1), prtlink::kStatusClean);
    const uint8_t* buf = prtlink::S(0).collect_buf;
    EXPECT_EQ(buf[0], 14);
    EXPECT_EQ(std::string(reinterpret_cast<const char*>(buf + 1), 14), "\x01" "abcdefghijklm");
    EXPECT_EQ(prtlink::S(0).collect_active, 0u);
}

TEST_F(PeerTest, CollectingStopsWhenThePrinterFallsSilent) {
    identify(0xD0);
    peer_.push(ScriptedPeer::status_frame(1, {0x00, 0x00, 0x01, 0x00, 0x00}));
    peer_.push(ScriptedPeer::status_frame(1, {14, 0x00, 'a', 'b', 'c'}));
    peer_.push(ScriptedPeer::status_frame(1, {'d', 'e', 'f', 'g', 'h'}));
    // then only acknowledgements
    EXPECT_EQ(prtlink::Poll_Unit(h_, 0, 1), prtlink::kStatusClean);
    EXPECT_EQ(prtlink::S(0).collect_buf[0], 9);
    EXPECT_LE(peer_.polls(), 2 + 2 * 3 + prtlink::kCollectMaxPolls + 2);
}

TEST_F(PeerTest, AnAnnouncedCountBeyondTheBufferIsCutToFit) {
    identify(0xD0);
    peer_.push(ScriptedPeer::status_frame(1, {0x00, 0x00, 0x01, 0x00, 0x00}));
    peer_.push(ScriptedPeer::status_frame(1, {60, 0x00, 1, 2, 3}));
    for (uint8_t i = 0; i < 12; ++i) {
        const uint8_t b = static_cast<uint8_t>(4 + 5 * i);
        peer_.push(ScriptedPeer::status_frame(
            1, {b, static_cast<uint8_t>(b + 1), static_cast<uint8_t>(b + 2),
                static_cast<uint8_t>(b + 3), static_cast<uint8_t>(b + 4)}));
    }
    EXPECT_EQ(prtlink::Poll_Unit(h_, 0, 1), prtlink::kStatusClean);
    const uint8_t* buf = prtlink::S(0).collect_buf;
    EXPECT_EQ(buf[0], 32);
    for (int i = 1; i < 32; ++i) EXPECT_EQ(buf[1 + i], i) << i;
    // Every announced part was taken: the next poll is answered plainly.
    EXPECT_EQ(prtlink::Poll_Unit(h_, 0, 1), 0);
}

}  // namespace
