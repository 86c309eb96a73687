// Runs the prttrace binary in a namespace of its own against sections that this test
// fills the way the driver does.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <stdlib.h>
#include <sys/mman.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <string>
#include <vector>

#include "platform/names.h"
#include "platform/shared_block.h"
#include "tests/prttrace/trace_writer.h"

extern char** environ;

namespace {

using prt::trace::testing::event;
using prt::trace::testing::record;
using prt::trace::testing::Stamp;
using prt::trace::testing::value;
using prt::trace::testing::Writer;
using Clock = std::chrono::steady_clock;

constexpr size_t kSize = 65536;

struct Child {
    pid_t pid = -1;
    int out = -1;
    int err = -1;
};

Child spawn(const std::vector<std::string>& args) {
    int out[2], err[2];
    Child c;
    if (::pipe2(out, O_CLOEXEC) != 0 || ::pipe2(err, O_CLOEXEC) != 0) return c;
    posix_spawn_file_actions_t fa;
    posix_spawn_file_actions_init(&fa);
    posix_spawn_file_actions_adddup2(&fa, out[1], 1);
    posix_spawn_file_actions_adddup2(&fa, err[1], 2);
    std::vector<char*> argv;
    std::string bin = PRTTRACE_BIN;
    argv.push_back(bin.data());
    std::vector<std::string> copy = args;
    for (std::string& a : copy) argv.push_back(a.data());
    argv.push_back(nullptr);
    if (posix_spawn(&c.pid, bin.c_str(), &fa, nullptr, argv.data(), environ) != 0) c.pid = -1;
    posix_spawn_file_actions_destroy(&fa);
    ::close(out[1]);
    ::close(err[1]);
    c.out = out[0];
    c.err = err[0];
    return c;
}

// Reads what is available on `fd` into `buf` until `done(buf)` or the deadline; false
// at end of file or deadline without `done`.
template <typename Done>
bool read_until(int fd, std::string& buf, Clock::time_point deadline, Done done) {
    while (!done(buf)) {
        const auto left =
            std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now());
        if (left.count() <= 0) return false;
        pollfd p{fd, POLLIN, 0};
        if (::poll(&p, 1, static_cast<int>(left.count())) <= 0) continue;
        char tmp[4096];
        const ssize_t n = ::read(fd, tmp, sizeof tmp);
        if (n <= 0) return done(buf);
        buf.append(tmp, static_cast<size_t>(n));
    }
    return true;
}

// Waits for the child's exit within the deadline (killing it past that); its status.
int wait_exit(pid_t pid, Clock::time_point deadline) {
    int status = 0;
    while (::waitpid(pid, &status, WNOHANG) == 0) {
        if (Clock::now() > deadline) {
            ::kill(pid, SIGKILL);
            ::waitpid(pid, &status, 0);
            return -1;
        }
        ::usleep(2000);
    }
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

struct Result {
    int status = -1;
    std::string out, err;
};

Result run(const std::vector<std::string>& args) {
    Result r;
    Child c = spawn(args);
    if (c.pid < 0) return r;
    const auto deadline = Clock::now() + std::chrono::seconds(20);
    auto never = [](const std::string&) { return false; };
    read_until(c.out, r.out, deadline, never);  // to end of file
    read_until(c.err, r.err, deadline, never);
    ::close(c.out);
    ::close(c.err);
    r.status = wait_exit(c.pid, deadline);
    return r;
}

class PrttraceCli : public ::testing::Test {
  protected:
    static void SetUpTestSuite() {
        ::setenv("PRT_NAMESPACE", ("prttrace-cli-" + std::to_string(::getpid())).c_str(), 1);
        char tmpl[] = "/tmp/prttrace-cli-XXXXXX";
        ASSERT_NE(::mkdtemp(tmpl), nullptr);
        runtime_dir_ = tmpl;
        ::setenv("PRT_RUNTIME_DIR", tmpl, 1);
    }
    static void TearDownTestSuite() { std::filesystem::remove_all(runtime_dir_); }

    void SetUp() override { unlink_all(); }
    void TearDown() override {
        for (void* m : maps_) prt::plat::section_unmap(m, kSize);
        unlink_all();
    }

    static void unlink_all() {
        for (int p = 1; p <= 4; ++p) {
            ::shm_unlink(prt::plat::posix_name("WPLOG" + std::to_string(p)).c_str());
        }
    }

    // The section of `printer` as the driver maps it: opened, never created.
    uint8_t* open_section(int printer) {
        void* m = prt::plat::section_open(prt::plat::posix_name("WPLOG" + std::to_string(printer)),
                                          kSize);
        if (m != nullptr) maps_.push_back(m);
        return static_cast<uint8_t*>(m);
    }

    static inline std::string runtime_dir_;
    std::vector<void*> maps_;
};

TEST_F(PrttraceCli, CreateThenShowWhatTheDriverWrote) {
    const Result created = run({"create", "2"});
    EXPECT_EQ(created.status, 0) << created.err;
    EXPECT_NE(created.out.find("printer 2"), std::string::npos);

    uint8_t* base = open_section(2);
    ASSERT_NE(base, nullptr);
    Writer w(base);
    w.attach();
    w.write(record("PrtOpenDeviceLst", {0, 2, 0, 0, 0, 0, 0, 0}, Stamp{26, 12, 11, 14, 3, 7, 5}));
    w.write(event("Validate ComPort", 3021, Stamp{26, 12, 11, 14, 3, 7, 6}));
    w.write(value("Read_Data_F", 0xFFFFFFFF, Stamp{26, 12, 11, 14, 3, 7, 80}));
    w.write(event("PrtOpenDevice", 1286, Stamp{26, 12, 11, 14, 3, 8, 0}));

    const Result shown = run({"show", "2"});
    EXPECT_EQ(shown.status, 0) << shown.err;
    EXPECT_EQ(shown.out,
              "TIME (UTC)               PRT  TAG               KIND   DETAIL\n"
              "2026-12-11 14:03:07.005  2    PrtOpenDeviceLst  data   00 02 00 00 00 00 00 00\n"
              "2026-12-11 14:03:07.006  2    Validate ComPort  event  3021 (0x0BCD)\n"
              "2026-12-11 14:03:07.080  2    Read_Data_F       value  4294967295 (0xFFFFFFFF)\n"
              "2026-12-11 14:03:08.000  2    PrtOpenDevice     event  1286 (0x0506) "
              "Communication error\n");
    EXPECT_EQ(shown.err, "");

    // show is the default command; printers without a section are reported and skipped.
    const Result all = run({});
    EXPECT_EQ(all.status, 0);
    EXPECT_EQ(all.out, shown.out);
    for (int p : {1, 3, 4}) {
        EXPECT_NE(all.err.find("printer " + std::to_string(p) + " has no trace section"),
                  std::string::npos)
            << all.err;
    }

    // Creating afresh empties the log.
    EXPECT_EQ(run({"create", "2"}).status, 0);
    const Result empty = run({"show", "2"});
    EXPECT_EQ(empty.status, 0);
    EXPECT_EQ(empty.out, "");
    EXPECT_NE(empty.err.find("no records"), std::string::npos);
}

TEST_F(PrttraceCli, ExitStatus) {
    struct Case {
        std::vector<std::string> args;
        int status;
        const char* in_out;
        const char* in_err;
    };
    const Case cases[] = {
        {{"show", "3"}, 1, "", "printer 3 has no trace section"},
        {{"--help"}, 0, "Usage: prttrace", ""},
        {{"-h"}, 0, "--follow", ""},
        {{"show", "5"}, 2, "", "unexpected argument '5'"},
        {{"remove"}, 2, "", "unexpected argument 'remove'"},
        {{"create", "--follow"}, 2, "", "--follow"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.args.front());
        const Result r = run(c.args);
        EXPECT_EQ(r.status, c.status);
        EXPECT_NE(r.out.find(c.in_out), std::string::npos) << r.out;
        EXPECT_NE(r.err.find(c.in_err), std::string::npos) << r.err;
    }
    // What create makes is what the driver, in the same namespace, opens.
    EXPECT_EQ(open_section(3), nullptr);
    EXPECT_EQ(run({"create", "3"}).status, 0);
    EXPECT_NE(open_section(3), nullptr);
}

TEST_F(PrttraceCli, FollowPrintsNewRecordsUntilTerminated) {
    ASSERT_EQ(run({"create", "1"}).status, 0);
    uint8_t* base = open_section(1);
    ASSERT_NE(base, nullptr);
    Writer w(base);
    w.attach();
    w.write(event("PrtOpenDevice", 0, Stamp{26, 12, 11, 14, 3, 7, 1}));

    Child c = spawn({"--follow", "1"});
    ASSERT_GT(c.pid, 0);
    const auto deadline = Clock::now() + std::chrono::seconds(10);
    std::string out;
    auto has = [](const char* text) {
        return [text](const std::string& s) { return s.find(text) != std::string::npos; };
    };
    EXPECT_TRUE(read_until(c.out, out, deadline, has("Operation completed successfully\n"))) << out;

    w.write(event("PrtBeginTrans", 1294, Stamp{26, 12, 11, 14, 3, 9, 2}));
    EXPECT_TRUE(read_until(c.out, out, deadline, has("Another process owns it.\n"))) << out;
    EXPECT_NE(out.find("2026-12-11 14:03:09.002  1    PrtBeginTrans     event  1294 (0x050E)"),
              std::string::npos)
        << out;
    // Each record once, the header once.
    EXPECT_EQ(out.find("PrtOpenDevice "), out.rfind("PrtOpenDevice "));
    EXPECT_EQ(out.find("TIME (UTC)"), out.rfind("TIME (UTC)"));

    ::kill(c.pid, SIGTERM);
    EXPECT_EQ(wait_exit(c.pid, deadline), 0);
    ::close(c.out);
    ::close(c.err);
}

}  // namespace
