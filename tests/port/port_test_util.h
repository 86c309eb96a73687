// Helpers shared by the port tests: a private runtime directory and namespace per test
// process, bounded waits, and a child process with its standard output on a pipe.
#pragma once

#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <thread>
#include <vector>

extern char** environ;

namespace prt::test {

// Polls `pred` until it holds or `limit` passes; returns its last value.
template <typename Pred>
bool wait_until(Pred pred, std::chrono::milliseconds limit = std::chrono::seconds(5)) {
    const auto end = std::chrono::steady_clock::now() + limit;
    for (;;) {
        if (pred()) return true;
        if (std::chrono::steady_clock::now() >= end) return pred();
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
}

// A child process whose standard output is read by lines with a deadline.
class Child {
  public:
    bool start(const std::vector<std::string>& argv,
               const std::vector<std::string>& extra_env = {}) {
        int fds[2];
        if (::pipe2(fds, O_CLOEXEC) != 0) return false;
        posix_spawn_file_actions_t fa;
        posix_spawn_file_actions_init(&fa);
        posix_spawn_file_actions_adddup2(&fa, fds[1], STDOUT_FILENO);
        std::vector<char*> args;
        for (const auto& a : argv) args.push_back(const_cast<char*>(a.c_str()));
        args.push_back(nullptr);
        std::vector<char*> env;
        for (char** e = environ; *e != nullptr; ++e) env.push_back(*e);
        for (const auto& e : extra_env) env.push_back(const_cast<char*>(e.c_str()));
        env.push_back(nullptr);
        const int rc = ::posix_spawn(&pid_, args[0], &fa, nullptr, args.data(), env.data());
        posix_spawn_file_actions_destroy(&fa);
        ::close(fds[1]);
        if (rc != 0) {
            ::close(fds[0]);
            pid_ = -1;
            return false;
        }
        out_ = fds[0];
        return true;
    }

    // The next line of output (without the newline); false at end of output or deadline.
    bool read_line(std::string* line, std::chrono::milliseconds limit = std::chrono::seconds(10)) {
        const auto end = std::chrono::steady_clock::now() + limit;
        for (;;) {
            const size_t nl = buf_.find('\n');
            if (nl != std::string::npos) {
                *line = buf_.substr(0, nl);
                buf_.erase(0, nl + 1);
                return true;
            }
            const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
                end - std::chrono::steady_clock::now());
            if (left.count() <= 0 || out_ < 0) return false;
            pollfd p{out_, POLLIN, 0};
            if (::poll(&p, 1, static_cast<int>(left.count())) <= 0) continue;
            char chunk[256];
            const ssize_t n = ::read(out_, chunk, sizeof(chunk));
            if (n <= 0) {
                ::close(out_);
                out_ = -1;
                if (!buf_.empty()) {
                    *line = buf_;
                    buf_.clear();
                    return true;
                }
                return false;
            }
            buf_.append(chunk, static_cast<size_t>(n));
        }
    }

    // Waits for the exit status, killing the child at the deadline. -1 when killed.
    int wait_exit(std::chrono::milliseconds limit = std::chrono::seconds(20)) {
        if (pid_ < 0) return -1;
        int status = 0;
        const bool done =
            wait_until([&] { return ::waitpid(pid_, &status, WNOHANG) == pid_; }, limit);
        if (!done) {
            ::kill(pid_, SIGKILL);
            ::waitpid(pid_, &status, 0);
            pid_ = -1;
            return -1;
        }
        pid_ = -1;
        return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    }

    void kill() {
        if (pid_ > 0) ::kill(pid_, SIGKILL);
        wait_exit();
    }

    ~Child() {
        if (pid_ > 0) {
            ::kill(pid_, SIGKILL);
            ::waitpid(pid_, nullptr, 0);
        }
        if (out_ >= 0) ::close(out_);
    }

  private:
    pid_t pid_ = -1;
    int out_ = -1;
    std::string buf_;
};

// Opens `device` in a child process that holds it until killed: this test program started
// again, whose environment set-up holds the port before any test runs. `filter` names a
// test of the program that starts no child itself (gtest runs the set-up only when some
// test is selected). False when the child could not open the port.
inline bool hold_in_child(const std::string& device, const std::string& filter, Child& child) {
    if (std::getenv("PRT_PORT_TEST_HOLD") != nullptr) return false;  // never recurse
    if (!child.start({"/proc/self/exe", "--gtest_filter=" + filter},
                     {"PRT_PORT_TEST_HOLD=" + device})) {
        return false;
    }
    std::string line;
    while (child.read_line(&line)) {  // gtest's own banner comes first
        if (line == "HELD") return true;
    }
    return false;
}

}  // namespace prt::test
