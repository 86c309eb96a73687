// Linked into every port test program.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/prctl.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>

#include "platform/port.h"

namespace prt::test {
namespace {

// Each test process gets its own namespace and runtime directory, so that ctest -j runs
// never share lock files.
//
// Started with PRT_PORT_TEST_HOLD=<device> (see hold_in_child in port_test_util.h), the
// process instead opens that port in the environment it inherited, prints "HELD" and waits
// to be killed, before any test runs.
class PortEnvironment : public ::testing::Environment {
  public:
    void SetUp() override {
        if (const char* device = std::getenv("PRT_PORT_TEST_HOLD")) hold(device);
        char tmpl[] = "/tmp/prt-port-test-XXXXXX";
        const char* dir = ::mkdtemp(tmpl);
        ASSERT_NE(dir, nullptr);
        dir_ = dir;
        ::setenv("PRT_RUNTIME_DIR", dir_.c_str(), 1);
        ::setenv("PRT_NAMESPACE", ("porttest" + std::to_string(::getpid())).c_str(), 1);
    }
    void TearDown() override {
        std::error_code ec;
        std::filesystem::remove_all(dir_, ec);
    }

  private:
    [[noreturn]] static void hold(const char* device) {
        ::prctl(PR_SET_PDEATHSIG, SIGKILL);
        uint32_t h = 0;
        if (!prt::plat::port_open(device, &h)) {
            std::printf("FAILED %d\n", prt::plat::last_error());
            std::fflush(stdout);
            ::_exit(1);
        }
        std::printf("HELD\n");
        std::fflush(stdout);
        for (;;) ::pause();
    }

    std::string dir_;
};

[[maybe_unused]] ::testing::Environment* const kPortEnvironment =
    ::testing::AddGlobalTestEnvironment(new PortEnvironment);

}  // namespace
}  // namespace prt::test
