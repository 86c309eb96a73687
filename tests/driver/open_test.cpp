// Opening and closing printers, the configuration, the trace log, and what several
// processes see of each other.
#include <gtest/gtest.h>

#include <chrono>
#include <cstring>
#include <future>
#include <thread>

#include <sys/mman.h>

#include "emulator/emulator.h"
#include "platform/clock.h"
#include "platform/names.h"
#include "platform/shared_block.h"
#include "prtlink.h"
#include "prtlink/core/shared.h"
#include "prtlink/core/trace.h"
#include "tests/support/driver_env.h"

namespace {

using prt::test::DriverChild;
using prt::test::DriverEnv;
constexpr uint32_t kBad = PRT_INVALID_HANDLE_VALUE;

class OpenTest : public ::testing::Test {
protected:
    void SetUp() override {
        prt::plat::set_time_scale(0.2);
        ASSERT_TRUE(emu.start("127.0.0.1", 0)) << emu.error();
        env.configure_printer(1, emu.url());
        env.create_trace(1);
        ASSERT_TRUE(prtlink::Process_Attach());
    }
    void TearDown() override {
        prtlink::Process_Detach();
        emu.stop();
        prt::plat::set_time_scale(1.0);
    }
    prtlink::SlotShared& slot0() { return prtlink::S(0); }

    DriverEnv env;
    prt::emu::Emulator emu;
};

TEST_F(OpenTest, OpenAndCloseLeaveTheirRecordsAndAClearedSlot) {
    uint32_t h = kBad;
    ASSERT_EQ(PrtOpenDeviceX(&h, 1, 0), 0);
    EXPECT_NE(h, kBad);
    EXPECT_EQ(slot0().slot_state, prtlink::kSlotOpen);
    EXPECT_EQ(slot0().open_count, 1);
    ASSERT_EQ(PrtCloseDeviceX(h), 0);
    EXPECT_EQ(slot0().slot_state, prtlink::kSlotClosed);
    EXPECT_EQ(slot0().open_count, 0);
    for (const prtlink::OpenEntry& e : slot0().open_table) {
        EXPECT_EQ(e.pid, 0u);
        EXPECT_EQ(e.handle, 0u);
    }
    const auto recs = env.trace(1);
    ASSERT_EQ(recs.size(), 3u) << env.trace_text(1);
    EXPECT_EQ(recs[0].tag, "PrtOpenDeviceLst");
    const uint8_t args[8] = {0, 1, 0, 0, 0, 0, 0, 0};
    EXPECT_EQ(std::memcmp(recs[0].b, args, 8), 0);
    EXPECT_EQ(recs[1].tag, "PrtOpenDevice");
    EXPECT_EQ(recs[1].code(), 0);
    EXPECT_EQ(recs[2].tag, "PrtCloseDevice");
}

TEST_F(OpenTest, ArgumentErrors) {
    struct Case {
        uint32_t id;
        int32_t time_out;
        uint16_t code;
    };
    for (const Case& c : {Case{0, 0, 1298}, Case{5, 0, 1298}, Case{1, -2, 1282}}) {
        uint32_t h = 1234;
        EXPECT_EQ(PrtOpenDeviceX(&h, c.id, c.time_out), c.code) << c.id;
        EXPECT_EQ(h, 1234u) << "no attempt was made, the variable is untouched";
    }
    EXPECT_EQ(env.count_tag(1, "PrtOpenDevice"), 3u);
    EXPECT_EQ(PrtCloseDeviceX(4242), PRT_INVALID_HANDLE);
}

TEST_F(OpenTest, SecondOpenFailsUntilTheFirstCloses) {
    uint32_t h1 = kBad, h2 = 0;
    ASSERT_EQ(PrtOpenDeviceX(&h1, 1, 0), 0);
    EXPECT_EQ(PrtOpenDeviceX(&h2, 1, 0), PRT_ALREADY_OPEN);
    EXPECT_EQ(h2, kBad);
    EXPECT_EQ(PrtOpenDeviceX(&h2, 1, 300), PRT_ALREADY_OPEN) << "a time-out that runs out";
    ASSERT_EQ(PrtCloseDeviceX(h1), 0);
    ASSERT_EQ(PrtOpenDeviceX(&h2, 1, 0), 0);
    EXPECT_EQ(PrtCloseDeviceX(h2), 0);
}

TEST_F(OpenTest, RetryingOpenTakesThePortWhenItIsReleased) {
    uint32_t h1 = kBad, h2 = kBad;
    ASSERT_EQ(PrtOpenDeviceX(&h1, 1, 0), 0);
    std::thread closer([&] {
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
        EXPECT_EQ(PrtCloseDeviceX(h1), 0);
    });
    EXPECT_EQ(PrtOpenDeviceX(&h2, 1, 20000), 0);
    closer.join();
    EXPECT_EQ(PrtCloseDeviceX(h2), 0);
}

TEST_F(OpenTest, InvalidRegistryValuesAreTracedAndReplacedByDefaults) {
    struct Case {
        const char* values;
        const char* tag;
        uint16_t code;
    };
    const Case cases[] = {
        {"\"ComPort\"=dword:00000000", "Validate ComPort", 3021},
        {"\"ComPort\"=dword:00000101", "Validate ComPort", 3021},
        {"\"BaudRate\"=dword:000004d2", "Validate Baud", 3022},
        {"\"StopBits\"=dword:00000003", "Validate Stop", 3023},
    };
    for (const Case& c : cases) {
        env.create_trace(1);
        env.write_registry(std::string("REGEDIT4\n\n[HKEY_CLASSES_ROOT\\QTX_SBCS_FINANCE_PRINTERS]\n"
                                       "[HKEY_CLASSES_ROOT\\QTX_SBCS_FINANCE_PRINTERS\\PRINTER_1]\n") +
                           c.values + "\n[HKEY_LOCAL_MACHINE\\SOFTWARE\\prtlink\\Ports]\n\"COM1\"=\"" +
                           emu.url() + "\"\n");
        uint32_t h = kBad;
        ASSERT_EQ(PrtOpenDeviceX(&h, 1, 0), 0) << c.values;
        const auto rec = env.find_tag(1, c.tag);
        ASSERT_TRUE(rec) << c.values << ": " << env.trace_text(1);
        EXPECT_EQ(rec->code(), c.code);
        EXPECT_EQ(PrtCloseDeviceX(h), 0);
    }
}

TEST_F(OpenTest, WithoutATraceSectionNothingIsWrittenAndTheDriverWorks) {
    ::shm_unlink(prt::plat::posix_name("WPLOG1").c_str());
    uint32_t h = kBad;
    ASSERT_EQ(PrtOpenDeviceX(&h, 1, 0), 0);
    ASSERT_EQ(PrtCloseDeviceX(h), 0);
    EXPECT_TRUE(env.trace(1).empty());
    // The viewer creates the section later: the next open switches the log on.
    env.create_trace(1);
    ASSERT_EQ(PrtOpenDeviceX(&h, 1, 0), 0);
    EXPECT_EQ(env.count_tag(1, "PrtOpenDevice"), 1u);
    // A further open does not restart the ring.
    ASSERT_EQ(PrtCloseDeviceX(h), 0);
    ASSERT_EQ(PrtOpenDeviceX(&h, 1, 0), 0);
    EXPECT_EQ(env.count_tag(1, "PrtOpenDevice"), 2u);
    EXPECT_EQ(PrtCloseDeviceX(h), 0);
}

TEST_F(OpenTest, CtsModeIsFixedOnce) {
    env.create_trace(3);
    env.create_trace(4);
    prtlink::Trace_Attach(2);  // as opens of printers 3 and 4 would
    prtlink::Trace_Attach(3);
    EXPECT_EQ(PrtSetCTSLineX(3), PRT_INVALID_PARAMETERS);
    EXPECT_EQ(PrtSetCTSLineX(2), 0);
    EXPECT_EQ(PrtSetCTSLineX(1), PRT_INTERNAL_ERROR);
    EXPECT_EQ(prtlink::g_shared->cts_mode, 2);
    uint32_t h = kBad;
    ASSERT_EQ(PrtOpenDeviceX(&h, 1, 0), 0) << "the registry's CTS_Line 1 no longer counts";
    EXPECT_EQ(prtlink::g_shared->cts_mode, 2);
    EXPECT_EQ(PrtCloseDeviceX(h), 0);
    // Each record lands in the log of the slot whose number is the mode.
    EXPECT_EQ(env.count_tag(4, "PrtSetCTSLine"), 1u);
    EXPECT_EQ(env.count_tag(3, "PrtSetCTSLine"), 1u);
    EXPECT_EQ(env.find_tag(3, "PrtSetCTSLine")->code(), 0);
}

TEST_F(OpenTest, CtsLineZeroFailsTheLineSetupAndIsReadAgain) {
    env.configure_printer(1, emu.url(), 0);
    uint32_t h = kBad;
    EXPECT_EQ(PrtOpenDeviceX(&h, 1, 0), PRT_INTERNAL_ERROR);
    EXPECT_TRUE(env.find_tag(1, "Invalid CTS set"));
    EXPECT_EQ(slot0().open_count, 0) << "the closed handle leaves no entry behind";
    EXPECT_EQ(slot0().slot_state, prtlink::kSlotClosed);
    env.configure_printer(1, emu.url(), 1);
    ASSERT_EQ(PrtOpenDeviceX(&h, 1, 0), 0);
    EXPECT_EQ(PrtCloseDeviceX(h), 0);
}

TEST_F(OpenTest, ParameterOpenOverridesTheRegistryForEveryoneUntilAnyClose) {
    env.create_trace(2);
    prtlink::Trace_Attach(0);  // refused calls make no open, which would switch the log on
    struct Bad {
        uint32_t com, baud, stop, cp;
    };
    for (const Bad& b : {Bad{0, 9600, 2, 0}, Bad{257, 9600, 2, 0}, Bad{1, 9601, 2, 0},
                         Bad{1, 9600, 3, 0}, Bad{1, 9600, 2, 999}}) {
        uint32_t h = kBad;
        EXPECT_EQ(PrtOpenDeviceParmsX(&h, 1, 0, b.com, b.baud, b.stop, b.cp), PRT_INVALID_PARAMETERS);
    }
    EXPECT_EQ(prtlink::g_shared->cfg_from_registry, 1u);
    EXPECT_EQ(env.count_tag(1, "PrtOpenDevice"), 0u);
    EXPECT_EQ(env.count_tag(1, "PrtOpenDevicePrm"), 5u);

    uint32_t h = kBad;
    ASSERT_EQ(PrtOpenDeviceParmsX(&h, 1, 0, 1, 19200, 1, 850), 0);
    EXPECT_EQ(prtlink::g_shared->cfg_from_registry, 0u);
    // Another process opening printer 2 reads the empty override entries: port 0.
    {
        DriverChild child;
        EXPECT_EQ(child.call("open 2 0"), "1281 4294967295");
    }
    const auto recs = env.trace(2);
    ASSERT_GE(recs.size(), 2u) << env.trace_text(2);
    EXPECT_EQ(recs[0].tag, "PrtOpenDevPrmLst");
    const uint8_t zeros[8] = {0, 2, 0, 0, 0, 0, 0, 0};
    EXPECT_EQ(std::memcmp(recs[0].b, zeros, 8), 0);
    EXPECT_EQ(PrtCloseDeviceX(777), PRT_INVALID_HANDLE) << "even an unknown handle";
    EXPECT_EQ(prtlink::g_shared->cfg_from_registry, 1u);
    EXPECT_EQ(PrtCloseDeviceX(h), 0);
}

TEST_F(OpenTest, TwoProcessesShareTheStateAndExcludeEachOther) {
    DriverChild child;
    const std::string reply = child.call("open 1 0");
    ASSERT_EQ(reply.substr(0, 2), "0 ") << reply;
    const std::string child_handle = reply.substr(2);
    EXPECT_EQ(slot0().open_count, 1) << "the child's entry is in the shared table";
    uint32_t h = kBad;
    EXPECT_EQ(PrtOpenDeviceX(&h, 1, 0), PRT_ALREADY_OPEN);
    // The child's handle means nothing in this process.
    EXPECT_EQ(PrtCloseDeviceX(static_cast<uint32_t>(std::stoul(child_handle))), PRT_INVALID_HANDLE);
    EXPECT_EQ(child.call("close " + child_handle), "0 " + child_handle);
    ASSERT_EQ(PrtOpenDeviceX(&h, 1, 0), 0);
    EXPECT_EQ(child.call("setcts 2"), "1292 4294967295") << "the first open fixed the mode";
    EXPECT_EQ(PrtCloseDeviceX(h), 0);
}

TEST_F(OpenTest, AnOpenWaitingWithoutLimitDoesNotBlockTheHolder) {
    DriverChild child;
    const std::string reply = child.call("open 1 0");
    ASSERT_EQ(reply.substr(0, 2), "0 ") << reply;
    uint32_t h = kBad;
    auto waiting = std::async(std::launch::async, [&] { return PrtOpenDeviceX(&h, 1, -1); });
    std::this_thread::sleep_for(std::chrono::milliseconds(30));
    // The holder's close needs the open lock; it must get it while the open retries.
    auto closing = std::async(std::launch::async,
                              [&] { return child.call("close " + reply.substr(2)); });
    ASSERT_EQ(closing.wait_for(std::chrono::seconds(20)), std::future_status::ready);
    EXPECT_EQ(closing.get().substr(0, 2), "0 ");
    ASSERT_EQ(waiting.wait_for(std::chrono::seconds(20)), std::future_status::ready);
    EXPECT_EQ(waiting.get(), 0);
    EXPECT_EQ(PrtCloseDeviceX(h), 0);
}

TEST_F(OpenTest, AKilledProcessHoldsNeitherTheLockNorThePort) {
    DriverChild child;
    ASSERT_EQ(child.call("open 1 0").substr(0, 2), "0 ");
    ASSERT_EQ(child.call("lock"), "ok");
    child.kill_hard();
    uint32_t h = kBad;
    ASSERT_EQ(PrtOpenDeviceX(&h, 1, 0), 0);
    EXPECT_EQ(slot0().open_count, 1) << "the dead process's entry is gone";
    EXPECT_EQ(slot0().slot_state, prtlink::kSlotOpen);
    EXPECT_EQ(PrtCloseDeviceX(h), 0);
    EXPECT_EQ(slot0().slot_state, prtlink::kSlotClosed);
}

TEST_F(OpenTest, SharedStateStartsAfreshOnceEveryUserIsGone) {
    {
        DriverChild child;
        EXPECT_EQ(child.call("setcts 2"), "0 4294967295");
        EXPECT_EQ(prtlink::g_shared->cts_mode, 2) << "seen by this process";
    }
    prtlink::Process_Detach();
    {
        DriverChild child;
        EXPECT_EQ(child.call("setcts 1"), "0 4294967295");
        child.kill_hard();
    }
    ASSERT_TRUE(prtlink::Process_Attach());
    EXPECT_EQ(prtlink::g_shared->cts_mode, 0) << "a block left by dead processes is not reused";
    EXPECT_EQ(prtlink::g_shared->cfg_from_registry, 1u);
}

TEST_F(OpenTest, ABlockOfAnotherLayoutIsRefused) {
    prt::plat::SharedBlock other;
    std::string err;
    EXPECT_FALSE(other.attach("prtlink", prtlink::kSharedMagic, prtlink::kSharedVersion + 1,
                              sizeof(prtlink::SharedData), nullptr, &err));
    EXPECT_FALSE(err.empty());
    EXPECT_FALSE(other.attach("prtlink", prtlink::kSharedMagic, prtlink::kSharedVersion,
                              sizeof(prtlink::SharedData) + 8, nullptr, &err));
}

// The ring: records and header words as the viewer reads them.
TEST_F(OpenTest, TraceRingWrapsAfter2047Records) {
    prtlink::Trace_Attach(0);
    auto* base = static_cast<uint8_t*>(
        prt::plat::section_open(prt::plat::posix_name("WPLOG1"), prtlink::kTraceSectionSize));
    ASSERT_NE(base, nullptr);
    auto word = [&](int i) {
        uint32_t v;
        std::memcpy(&v, base + 4 * i, 4);
        return v;
    };
    EXPECT_EQ(word(0), 32u);
    prtlink::Trace_Event(0, 0x050C, "first           ");
    const uint8_t ev[8] = {0, 0, 0, 0, 0, 0x00, 0x05, 0x0C};
    EXPECT_EQ(std::memcmp(base + 32 + 8, ev, 8), 0);
    prtlink::Trace_Event(0, 3021, "second          ");
    const uint8_t ev2[8] = {0, 0, 0, 0, 0, 0x00, 0x0B, 0xCD};
    EXPECT_EQ(std::memcmp(base + 64 + 8, ev2, 8), 0);
    prtlink::Trace_Value(0, 0xFFFFFFFFu, "third           ");
    const uint8_t val[8] = {0, 0, 0, 0, 0xFF, 0xFF, 0xFF, 0xFF};
    EXPECT_EQ(std::memcmp(base + 96 + 8, val, 8), 0);
    for (int i = 3; i < 2047; ++i) prtlink::Trace_Event(0, 1, "filler          ");
    EXPECT_EQ(word(0), 32u);
    EXPECT_EQ(word(1), 65504u);
    prtlink::Trace_Event(0, 7, "wrapped         ");
    EXPECT_EQ(word(0), 64u);
    EXPECT_EQ(word(1), 65504u);
    EXPECT_EQ(std::memcmp(base + 32 + 16, "wrapped         ", 16), 0);
    const prt::plat::UtcTime t = prt::plat::utc_now();
    EXPECT_EQ(base[32], t.year % 100);
    EXPECT_EQ(base[33], t.month);
    prtlink::Trace_Event(9, 1, "nowhere         ");  // outside 0..3: ignored
    prt::plat::section_unmap(base, prtlink::kTraceSectionSize);
}

}  // namespace
