#include "tests/support/driver_env.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/mman.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <sstream>

#include "platform/names.h"
#include "platform/shared_block.h"

namespace prt::test {
namespace fs = std::filesystem;

namespace {
std::atomic<int> g_env_counter{0};
constexpr size_t kSection = 65536;
}  // namespace

uint16_t x25(const uint8_t* p, size_t n) {
    uint16_t crc = 0xFFFF;
    for (size_t i = 0; i < n; ++i) {
        crc ^= p[i];
        for (int b = 0; b < 8; ++b) crc = (crc & 1) ? (crc >> 1) ^ 0x8408 : crc >> 1;
    }
    return static_cast<uint16_t>(~crc);
}

DriverEnv::DriverEnv() {
    char tmpl[] = "/tmp/prttest.XXXXXX";
    dir_ = ::mkdtemp(tmpl);
    ns_ = "t" + std::to_string(::getpid()) + "_" + std::to_string(g_env_counter++);
    fs::create_directories(dir_ + "/run");
    fs::create_directories(dir_ + "/cfg");
    ::setenv("PRT_NAMESPACE", ns_.c_str(), 1);
    ::setenv("PRT_RUNTIME_DIR", (dir_ + "/run").c_str(), 1);
    ::setenv("PRT_CONFIG_DIR", (dir_ + "/cfg").c_str(), 1);
}

DriverEnv::~DriverEnv() {
    for (int i = 1; i <= 4; ++i) {
        const std::string n = plat::posix_name("WPLOG" + std::to_string(i));
        ::shm_unlink(n.c_str());
    }
    std::error_code ec;
    fs::remove_all(dir_, ec);
}

void DriverEnv::write_registry(const std::string& text) {
    std::ofstream(dir_ + "/cfg/registry.reg") << text;
}

void DriverEnv::configure_printer(int id, const std::string& device, int cts_line, int baud,
                                  int stop_bits) {
    char buf[1024];
    std::snprintf(buf, sizeof buf,
                  "Windows Registry Editor Version 5.00\r\n\r\n"
                  "[HKEY_CLASSES_ROOT\\QTX_SBCS_FINANCE_PRINTERS]\r\n"
                  "\"CTS_Line\"=dword:%08x\r\n\r\n"
                  "[HKEY_CLASSES_ROOT\\QTX_SBCS_FINANCE_PRINTERS\\PRINTER_%d]\r\n"
                  "\"ComPort\"=dword:%08x\r\n\"BaudRate\"=dword:%08x\r\n"
                  "\"StopBits\"=dword:%08x\r\n\r\n"
                  "[HKEY_LOCAL_MACHINE\\SOFTWARE\\prtlink\\Ports]\r\n\"COM%d\"=\"%s\"\r\n",
                  cts_line, id, id, baud, stop_bits, id, device.c_str());
    write_registry(buf);
}

void DriverEnv::create_trace(int printer) {
    void* p = plat::section_create(plat::posix_name("WPLOG" + std::to_string(printer)), kSection);
    plat::section_unmap(p, kSection);
}

std::vector<TraceRec> DriverEnv::trace(int printer) const {
    std::vector<TraceRec> out;
    auto* base = static_cast<uint8_t*>(
        plat::section_open(plat::posix_name("WPLOG" + std::to_string(printer)), kSection));
    if (base == nullptr) return out;
    uint32_t next, count;
    std::memcpy(&next, base, 4);
    std::memcpy(&count, base + 4, 4);
    const bool full = count >= 65504;
    uint32_t pos = full ? next : 32;
    const uint32_t n = count / 32;
    for (uint32_t i = 0; i < n; ++i) {
        if (pos >= kSection) pos = 32;
        const uint8_t* r = base + pos;
        TraceRec rec;
        std::memcpy(rec.b, r + 8, 8);
        std::string tag(reinterpret_cast<const char*>(r + 16), 16);
        while (!tag.empty() && (tag.back() == ' ' || tag.back() == '\0')) tag.pop_back();
        rec.tag = tag;
        out.push_back(rec);
        pos += 32;
    }
    plat::section_unmap(base, kSection);
    return out;
}

std::string DriverEnv::trace_text(int printer) const {
    std::ostringstream s;
    for (const TraceRec& r : trace(printer)) s << r.tag << "(" << r.code() << ") ";
    return s.str();
}

size_t DriverEnv::count_tag(int printer, const std::string& tag) const {
    size_t n = 0;
    for (const TraceRec& r : trace(printer)) n += r.tag == tag ? 1 : 0;
    return n;
}

std::unique_ptr<TraceRec> DriverEnv::find_tag(int printer, const std::string& tag) const {
    for (const TraceRec& r : trace(printer)) {
        if (r.tag == tag) return std::make_unique<TraceRec>(r);
    }
    return nullptr;
}

DriverChild::DriverChild() {
    int down[2], up[2];
    if (::pipe2(down, O_CLOEXEC) != 0 || ::pipe2(up, O_CLOEXEC) != 0) return;
    pid_ = ::fork();
    if (pid_ == 0) {
        ::dup2(down[0], 0);
        ::dup2(up[1], 1);
        ::execl(DRVCHILD_PATH, DRVCHILD_PATH, static_cast<char*>(nullptr));
        ::_exit(127);
    }
    ::close(down[0]);
    ::close(up[1]);
    to_ = down[1];
    from_ = up[0];
}

DriverChild::~DriverChild() {
    if (pid_ > 0) {
        call("quit");
        int st = 0;
        ::waitpid(pid_, &st, 0);
    }
    if (to_ >= 0) ::close(to_);
    if (from_ >= 0) ::close(from_);
}

std::string DriverChild::call(const std::string& line) {
    if (pid_ <= 0) return "";
    const std::string msg = line + "\n";
    if (::write(to_, msg.data(), msg.size()) != static_cast<ssize_t>(msg.size())) return "";
    for (;;) {
        const size_t nl = buffered_.find('\n');
        if (nl != std::string::npos) {
            std::string reply = buffered_.substr(0, nl);
            buffered_.erase(0, nl + 1);
            return reply;
        }
        char buf[256];
        const ssize_t n = ::read(from_, buf, sizeof buf);
        if (n <= 0) return "";
        buffered_.append(buf, static_cast<size_t>(n));
    }
}

void DriverChild::kill_hard() {
    if (pid_ <= 0) return;
    ::kill(pid_, SIGKILL);
    int st = 0;
    ::waitpid(pid_, &st, 0);
    pid_ = -1;
}

ScriptedPeer::ScriptedPeer() {
    std::string err;
    server_ = plat::rfc2217::Server::start("127.0.0.1", 0, *this, &err);
    if (server_) server_->set_modem(true, false);
}

ScriptedPeer::~ScriptedPeer() {
    if (server_) server_->stop();
}

std::string ScriptedPeer::url() const {
    return server_ ? "rfc2217://127.0.0.1:" + std::to_string(server_->port()) : "";
}

void ScriptedPeer::push(std::vector<uint8_t> frame) {
    std::lock_guard<std::mutex> lk(mu_);
    script_.push_back(std::move(frame));
}

int ScriptedPeer::polls() const {
    std::lock_guard<std::mutex> lk(mu_);
    return polls_;
}

std::vector<uint8_t> ScriptedPeer::status_frame(uint8_t unit, const std::vector<uint8_t>& data,
                                                uint8_t control) {
    const size_t len = data.size() + 4;
    std::vector<uint8_t> f(7 + data.size());
    f[0] = 0x1B;
    f[1] = 0x5B;
    f[2] = 0x63;
    f[3] = static_cast<uint8_t>(len);
    f[4] = static_cast<uint8_t>(len >> 8);
    f[5] = unit;
    f[6] = control;
    for (size_t i = 0; i < data.size(); ++i) f[7 + i] = data[i];
    const uint16_t crc = x25(f.data(), f.size());
    f.push_back(static_cast<uint8_t>(crc));
    f.push_back(static_cast<uint8_t>(crc >> 8));
    return f;
}

void ScriptedPeer::on_data(std::span<const uint8_t> bytes) {
    std::vector<uint8_t> reply;
    {
        std::lock_guard<std::mutex> lk(mu_);
        in_.insert(in_.end(), bytes.begin(), bytes.end());
        // Only 9-byte frames (polls and link resets) reach this peer.
        while (in_.size() >= 9) {
            const bool poll = (in_[6] & 0x03) == 0x01;
            const uint8_t unit = in_[5];
            in_.erase(in_.begin(), in_.begin() + 9);
            if (!poll) continue;
            ++polls_;
            if (!script_.empty() && !acknowledging_) {
                reply = std::move(script_.front());
                script_.pop_front();
                acknowledging_ = reply.size() > 9;
            } else {
                reply = status_frame(unit, {}, 0xC0);
                acknowledging_ = false;
            }
        }
    }
    if (!reply.empty()) server_->send_data(reply);
}

}  // namespace prt::test
