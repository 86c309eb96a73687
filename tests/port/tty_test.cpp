// The local tty backend: its line logic through a fake ioctl layer, and its data paths and
// exclusive open on a pseudo-terminal (which has no modem lines, breaks or counters).
#include <fcntl.h>
#include <pty.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include <cerrno>
#include <string>
#include <vector>

#include "platform/clock.h"
#include "platform/port.h"
#include "platform/tty_linux.h"
#include "port_test_util.h"

namespace prt::plat {
namespace {

// The fake kernel: what it reports and what it was asked. Function pointers cannot carry
// state, so it is one global, reset by the fixture.
struct FakeKernel {
    int modem = 0;
    int modem_errno = 0;
    tty::Counters counters;
    int counters_errno = 0;
    std::vector<std::string> calls;
};
FakeKernel g_fake;

const tty::Ops kFakeOps{
    [](int, int* bits) {
        if (g_fake.modem_errno != 0) {
            errno = g_fake.modem_errno;
            return -1;
        }
        *bits = g_fake.modem;
        return 0;
    },
    [](int, int bits, bool on) {
        g_fake.calls.push_back((on ? "bis " : "bic ") + std::to_string(bits));
        return 0;
    },
    [](int, bool on) {
        g_fake.calls.push_back(on ? "sbrk" : "cbrk");
        return 0;
    },
    [](int, tty::Counters* c) {
        if (g_fake.counters_errno != 0) {
            errno = g_fake.counters_errno;
            return -1;
        }
        *c = g_fake.counters;
        return 0;
    },
    [](int) {
        g_fake.calls.push_back("flush");
        return 0;
    },
    [](int) {
        g_fake.calls.push_back("excl");
        return 0;
    },
};

class Pty {
  public:
    Pty() {
        char name[128];
        EXPECT_EQ(::openpty(&master_, &slave_, name, nullptr, nullptr), 0);
        path_ = name;
    }
    ~Pty() {
        close_master();
        if (slave_ >= 0) ::close(slave_);
    }
    int master() const { return master_; }
    const std::string& path() const { return path_; }
    void close_master() {
        if (master_ >= 0) ::close(master_);
        master_ = -1;
    }

  private:
    int master_ = -1;
    int slave_ = -1;
    std::string path_;
};

class TtyLogicTest : public ::testing::Test {
  protected:
    void SetUp() override {
        g_fake = FakeKernel{};
        port_ = tty::open_port(pty_.path(), kFakeOps);
        ASSERT_TRUE(port_) << errno;
    }
    Pty pty_;
    std::unique_ptr<PortBackend> port_;
};

TEST_F(TtyLogicTest, OpenAsksForExclusiveUse) {
    EXPECT_EQ(g_fake.calls, std::vector<std::string>{"excl"});
}

TEST_F(TtyLogicTest, ModemBitsAreMapped) {
    const struct {
        int tiocm;
        uint32_t bits;
    } cases[] = {
        {0, 0},
        {tty::kTiocmCts, kModemCts},
        {tty::kTiocmDsr, kModemDsr},
        {tty::kTiocmRng, kModemRing},
        {tty::kTiocmCar, kModemCd},
        // Our own outputs are not inputs.
        {tty::kTiocmRts | tty::kTiocmDtr, 0},
        {tty::kTiocmCts | tty::kTiocmDsr | tty::kTiocmRts, kModemCts | kModemDsr},
    };
    for (const auto& c : cases) {
        g_fake.modem = c.tiocm;
        uint32_t bits = 0xDEAD;
        ASSERT_TRUE(port_->modem_status(&bits));
        EXPECT_EQ(bits, c.bits) << "tiocm " << c.tiocm;
    }
    g_fake.modem_errno = ENOTTY;
    uint32_t bits = 0;
    EXPECT_FALSE(port_->modem_status(&bits));
}

TEST_F(TtyLogicTest, LinesBreakAndPurgeReachTheKernel) {
    g_fake.calls.clear();
    ASSERT_TRUE(port_->set_rts(true));
    ASSERT_TRUE(port_->set_dtr(false));
    ASSERT_TRUE(port_->set_break(true));
    ASSERT_TRUE(port_->set_break(false));
    ASSERT_TRUE(port_->purge());
    const std::vector<std::string> want = {"bis " + std::to_string(tty::kTiocmRts),
                                           "bic " + std::to_string(tty::kTiocmDtr), "sbrk", "cbrk",
                                           "flush"};
    EXPECT_EQ(g_fake.calls, want);
}

TEST_F(TtyLogicTest, ErrorFlagsAreCounterDifferencesSinceTheLastCall) {
    // The snapshot was taken at open with all counters 0.
    const struct {
        tty::Counters now;
        uint32_t flags;
    } steps[] = {
        {{0, 0, 0, 0, 0}, 0},
        {{0, 0, 0, 1, 0}, kErrBreak},
        {{0, 0, 0, 1, 0}, 0},  // read and clear
        {{2, 0, 0, 1, 0}, kErrFrame},
        {{2, 1, 1, 1, 0}, kErrOverrun | kErrParity},
        {{2, 1, 1, 1, 5}, kErrRxOver},
        {{3, 2, 2, 2, 6}, kErrFrame | kErrOverrun | kErrParity | kErrBreak | kErrRxOver},
    };
    for (size_t i = 0; i < std::size(steps); ++i) {
        g_fake.counters = steps[i].now;
        uint32_t flags = 0xDEAD;
        ASSERT_TRUE(port_->take_errors(&flags));
        EXPECT_EQ(flags, steps[i].flags) << "step " << i;
    }
    // A counter that wraps still counts as a change.
    g_fake.counters.brk = 0;
    uint32_t flags = 0;
    ASSERT_TRUE(port_->take_errors(&flags));
    EXPECT_EQ(flags, kErrBreak);
}

TEST(TtyLogic, DriversWithoutCountersReportNoErrors) {
    Pty pty;
    for (const int err : {ENOTTY, EINVAL}) {
        g_fake = FakeKernel{};
        g_fake.counters_errno = err;
        auto port = tty::open_port(pty.path(), kFakeOps);
        ASSERT_TRUE(port);
        uint32_t flags = 0xDEAD;
        EXPECT_TRUE(port->take_errors(&flags)) << err;
        EXPECT_EQ(flags, 0u);
        // Counters that appear later start from there, not from zero.
        g_fake.counters_errno = 0;
        g_fake.counters.brk = 7;
        EXPECT_TRUE(port->take_errors(&flags));
        EXPECT_EQ(flags, 0u);
        port->close();
    }
    g_fake = FakeKernel{};
    auto port = tty::open_port(pty.path(), kFakeOps);
    ASSERT_TRUE(port);
    g_fake.counters_errno = EIO;
    uint32_t flags = 0;
    EXPECT_FALSE(port->take_errors(&flags)) << "a real failure is not hidden";
}

// The real kernel calls on a pty, through the port calls.
class TtyPtyTest : public ::testing::Test {
  protected:
    void SetUp() override {
        ASSERT_TRUE(port_open(pty_.path(), &handle_)) << last_error();
        ASSERT_TRUE(port_configure(handle_, LineSettings{9600, 8, 1}));
    }
    void TearDown() override {
        if (handle_ != kInvalidHandle) port_close(handle_);
        set_time_scale(1.0);
    }
    Pty pty_;
    uint32_t handle_ = kInvalidHandle;
};

TEST_F(TtyPtyTest, DataBothWaysUnchanged) {
    // Bytes a cooked line would alter: CR, LF, ^C, ^S, DEL, 0xFF.
    const std::vector<uint8_t> bytes = {'\r', '\n', 0x03, 0x13, 0x7F, 0xFF, 0x00, 'A'};
    uint32_t n = 0;
    ASSERT_TRUE(port_write(handle_, bytes.data(), static_cast<uint32_t>(bytes.size()), &n));
    EXPECT_EQ(n, bytes.size());
    std::vector<uint8_t> got;
    ASSERT_TRUE(prt::test::wait_until([&] {
        uint8_t buf[64];
        const ssize_t r = ::read(pty_.master(), buf, sizeof(buf));
        if (r > 0) got.insert(got.end(), buf, buf + r);
        return got.size() >= bytes.size();
    }));
    EXPECT_EQ(got, bytes);

    ASSERT_EQ(::write(pty_.master(), bytes.data(), bytes.size()),
              static_cast<ssize_t>(bytes.size()));
    std::vector<uint8_t> in(bytes.size());
    uint32_t r = 0;
    ASSERT_TRUE(port_read(handle_, in.data(), static_cast<uint32_t>(in.size()), &r));
    EXPECT_EQ(r, in.size());
    EXPECT_EQ(in, bytes);
}

TEST_F(TtyPtyTest, ReadTimeOutGivesAShortCount) {
    set_time_scale(0.2);
    ASSERT_EQ(::write(pty_.master(), "ab", 2), 2);
    uint8_t buf[8];
    uint32_t got = 0;
    const uint64_t start = monotonic_ms();
    EXPECT_TRUE(port_read(handle_, buf, sizeof(buf), &got));
    EXPECT_EQ(got, 2u);
    EXPECT_GE(monotonic_ms() - start, scaled_ms(kPortTimeoutMs));
}

TEST_F(TtyPtyTest, PurgeDropsUnreadInput) {
    ASSERT_EQ(::write(pty_.master(), "old", 3), 3);
    // The pty moves the bytes to the slave's queue asynchronously; wait until they are there.
    ASSERT_TRUE(prt::test::wait_until([&] {
        int avail = 0;
        return ::ioctl(static_cast<int>(handle_), FIONREAD, &avail) == 0 && avail == 3;
    }));
    ASSERT_TRUE(port_purge(handle_));
    set_time_scale(0.1);
    uint8_t buf[4];
    uint32_t got = 0;
    EXPECT_TRUE(port_read(handle_, buf, sizeof(buf), &got));
    EXPECT_EQ(got, 0u);
}

TEST_F(TtyPtyTest, SecondOpenFailsUntilTheFirstCloses) {
    uint32_t second = 0;
    EXPECT_FALSE(port_open(pty_.path(), &second));
    EXPECT_EQ(second, kInvalidHandle);
    EXPECT_EQ(last_error(), EBUSY);
    ASSERT_TRUE(port_close(handle_));
    handle_ = kInvalidHandle;
    ASSERT_TRUE(port_open(pty_.path(), &handle_));
}

TEST(TtyOpen, AnotherProcessHoldsThePortUntilItDies) {
    Pty pty;
    prt::test::Child holder;
    ASSERT_TRUE(prt::test::hold_in_child(pty.path(), "TtyOpen.MissingDeviceAndNonTtyFail", holder));
    uint32_t h = 0;
    EXPECT_FALSE(port_open(pty.path(), &h));
    EXPECT_EQ(last_error(), EBUSY);
    holder.kill();  // without closing anything
    ASSERT_TRUE(port_open(pty.path(), &h)) << last_error();
    EXPECT_TRUE(port_close(h));
}

TEST_F(TtyPtyTest, ConfigureRefusesWhatThePrinterLinkNeverUses) {
    for (const LineSettings s : {LineSettings{1200, 8, 2}, LineSettings{19200, 8, 1}}) {
        EXPECT_TRUE(port_configure(handle_, s)) << s.baud;
    }
    for (const LineSettings s :
         {LineSettings{38400, 8, 1}, LineSettings{9600, 7, 1}, LineSettings{9600, 8, 3}}) {
        EXPECT_FALSE(port_configure(handle_, s)) << s.baud;
        EXPECT_EQ(last_error(), EINVAL);
    }
}

TEST_F(TtyPtyTest, HangUpFailsTheRead) {
    pty_.close_master();
    uint8_t buf[4];
    uint32_t got = 0;
    EXPECT_FALSE(port_read(handle_, buf, sizeof(buf), &got));
}

TEST(TtyOpen, MissingDeviceAndNonTtyFail) {
    uint32_t h = 0;
    EXPECT_FALSE(port_open("/nonexistent/ttyS99", &h));
    EXPECT_EQ(h, kInvalidHandle);
    EXPECT_EQ(last_error(), ENOENT);
    EXPECT_FALSE(port_open("/dev/null", &h));
    EXPECT_EQ(h, kInvalidHandle);
}

}  // namespace
}  // namespace prt::plat
