// prtsim: the emulated printer as a program. Serves one host over RFC 2217 and takes
// commands on standard input until it closes or SIGTERM arrives.
#include <poll.h>
#include <signal.h>
#include <sys/signalfd.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "emulator/emulator.h"

namespace {

const char kUsage[] =
    "Usage: prtsim --listen HOST:PORT [options]\n"
    "\n"
    "An emulated serial document printer (print unit, optional REMS unit with stripe and\n"
    "MICR reader) on an RFC 2217 network serial port. Connect with rfc2217://HOST:PORT.\n"
    "The first line printed is 'listening on HOST:PORT' (port 0 picks a free port). It\n"
    "serves one host at a time until standard input closes or SIGTERM arrives.\n"
    "\n"
    "Options (bytes in hexadecimal, with or without 0x):\n"
    "  --listen HOST:PORT     address to listen on (required), e.g. 127.0.0.1:0\n"
    "  --model HEX            model code in the POR status: 19 1A 1B 1C 40 D0 (default 1C)\n"
    "  --level HEX            print-unit level byte (default 30; 40..4F: block transfer)\n"
    "  --features HEX         print-unit features byte (default 00)\n"
    "  --rems on|off          REMS unit fitted (default on; on model D0 'off' sets the\n"
    "                         no-REMS bit of the POR status)\n"
    "  --rems-level HEX       REMS level byte (default 30)\n"
    "  --rems-features HEX    REMS features byte (default 00)\n"
    "  --por-error            report the print-unit POR with its error bit\n"
    "  --rems-por-error       report the REMS POR with its error bit\n"
    "  --handshake MODE       auto (by the level byte), byte, block or none (default auto);\n"
    "                         a host that holds RTS on always gets the answer at once\n"
    "  --long-on              start as a printer long switched on (no POR statuses queued)\n"
    "  --wire-timing          pace answers by the host's baud rate and stop bits\n"
    "  --buffer N             print buffer in bytes (default 4096)\n"
    "  --rate BPS             print rate in bytes per second (default 0: instant)\n"
    "  --delay MS             extra delay before each answer (default 0)\n"
    "  --stripe TEXT          stripe contents returned by a stripe read\n"
    "  --micr TEXT            MICR line returned by a MICR read\n"
    "  --print-log FILE       append the bytes taken by the print unit to FILE\n"
    "  --frame-log FILE       write every frame in and out (time, direction, decoded, hex)\n"
    "  --help                 this text\n"
    "\n";

bool parse_hex_byte(const char* s, uint8_t* out) {
    if (std::strncmp(s, "0x", 2) == 0 || std::strncmp(s, "0X", 2) == 0) s += 2;
    char* end = nullptr;
    const unsigned long v = std::strtoul(s, &end, 16);
    if (!*s || *end || v > 0xFF) return false;
    *out = static_cast<uint8_t>(v);
    return true;
}

bool parse_uint(const char* s, uint32_t* out) {
    char* end = nullptr;
    const unsigned long v = std::strtoul(s, &end, 10);
    if (!*s || *end || v > 0xFFFFFFFFul) return false;
    *out = static_cast<uint32_t>(v);
    return true;
}

int usage_error(const std::string& what) {
    std::fprintf(stderr, "prtsim: %s (try --help)\n", what.c_str());
    return 2;
}

}  // namespace

int main(int argc, char** argv) {
    prt::emu::Config cfg;
    std::string listen, print_log_path, frame_log_path, stripe, micr;
    bool have_micr = false;
    for (int i = 1; i < argc; ++i) {
        const std::string a = argv[i];
        auto value = [&](const char** v) {
            if (i + 1 >= argc) return false;
            *v = argv[++i];
            return true;
        };
        const char* v = nullptr;
        uint32_t n = 0;
        if (a == "--help" || a == "-h") {
            std::fputs(kUsage, stdout);
            std::fputs(prt::emu::command_help(), stdout);
            return 0;
        } else if (a == "--listen") {
            if (!value(&v)) return usage_error("--listen needs HOST:PORT");
            listen = v;
        } else if (a == "--model" || a == "--level" || a == "--features" || a == "--rems-level" ||
                   a == "--rems-features") {
            uint8_t b = 0;
            if (!value(&v) || !parse_hex_byte(v, &b)) return usage_error(a + " needs a hex byte");
            if (a == "--model") cfg.model = b;
            if (a == "--level") cfg.level = b;
            if (a == "--features") cfg.features = b;
            if (a == "--rems-level") cfg.rems_level = b;
            if (a == "--rems-features") cfg.rems_features = b;
        } else if (a == "--rems") {
            if (!value(&v) || (std::strcmp(v, "on") && std::strcmp(v, "off")))
                return usage_error("--rems needs on or off");
            cfg.rems = std::strcmp(v, "on") == 0;
        } else if (a == "--por-error") {
            cfg.por_error = true;
        } else if (a == "--rems-por-error") {
            cfg.rems_por_error = true;
        } else if (a == "--handshake") {
            if (!value(&v)) return usage_error("--handshake needs a mode");
            const std::string m = v;
            if (m == "auto") {
                cfg.handshake = prt::emu::Handshake::Auto;
            } else if (m == "byte") {
                cfg.handshake = prt::emu::Handshake::BytePaced;
            } else if (m == "block") {
                cfg.handshake = prt::emu::Handshake::Block;
            } else if (m == "none") {
                cfg.handshake = prt::emu::Handshake::None;
            } else {
                return usage_error("unknown handshake " + m);
            }
        } else if (a == "--long-on") {
            cfg.long_on = true;
        } else if (a == "--wire-timing") {
            cfg.wire_timing = true;
        } else if (a == "--buffer" || a == "--rate" || a == "--delay") {
            if (!value(&v) || !parse_uint(v, &n)) return usage_error(a + " needs a number");
            if (a == "--buffer") cfg.buffer_size = n;
            if (a == "--rate") cfg.print_rate = n;
            if (a == "--delay") cfg.reply_delay_ms = n;
        } else if (a == "--stripe") {
            if (!value(&v)) return usage_error("--stripe needs text");
            stripe = v;
        } else if (a == "--micr") {
            if (!value(&v)) return usage_error("--micr needs text");
            micr = v;
            have_micr = true;
        } else if (a == "--print-log") {
            if (!value(&v)) return usage_error("--print-log needs a file");
            print_log_path = v;
        } else if (a == "--frame-log") {
            if (!value(&v)) return usage_error("--frame-log needs a file");
            frame_log_path = v;
        } else {
            return usage_error("unknown option " + a);
        }
    }
    const size_t colon = listen.rfind(':');
    uint32_t port = 0;
    if (listen.empty() || colon == std::string::npos ||
        !parse_uint(listen.c_str() + colon + 1, &port) || port > 65535)
        return usage_error("--listen HOST:PORT is required");
    const std::string host = listen.substr(0, colon);

    FILE* print_log = nullptr;
    FILE* frame_log = nullptr;
    if (!print_log_path.empty() && !(print_log = std::fopen(print_log_path.c_str(), "ab"))) {
        std::perror(print_log_path.c_str());
        return 1;
    }
    if (!frame_log_path.empty() && !(frame_log = std::fopen(frame_log_path.c_str(), "w"))) {
        std::perror(frame_log_path.c_str());
        return 1;
    }
    if (print_log) {
        cfg.on_print = [print_log](std::span<const uint8_t> b) {
            std::fwrite(b.data(), 1, b.size(), print_log);
            std::fflush(print_log);
        };
    }
    if (frame_log) {
        cfg.on_frame = [frame_log](const prt::emu::FrameRecord& r) {
            std::fprintf(frame_log, "%llu %s %s", static_cast<unsigned long long>(r.ms),
                         r.out ? "<-" : "->", r.text.c_str());
            if (!r.bytes.empty()) std::fprintf(frame_log, " [%s]", prt::emu::hex(r.bytes).c_str());
            std::fputc('\n', frame_log);
            std::fflush(frame_log);
        };
    }

    // SIGTERM and SIGINT are taken through a descriptor, blocked before any thread starts.
    sigset_t sigs;
    sigemptyset(&sigs);
    sigaddset(&sigs, SIGTERM);
    sigaddset(&sigs, SIGINT);
    sigprocmask(SIG_BLOCK, &sigs, nullptr);
    signal(SIGPIPE, SIG_IGN);
    const int sfd = signalfd(-1, &sigs, SFD_CLOEXEC);

    prt::emu::Emulator emu(cfg);
    if (!stripe.empty()) emu.set_stripe(std::vector<uint8_t>(stripe.begin(), stripe.end()));
    if (have_micr) emu.add_micr_line(micr);
    if (!emu.start(host, static_cast<uint16_t>(port))) {
        std::fprintf(stderr, "prtsim: %s\n", emu.error().c_str());
        return 1;
    }
    std::printf("listening on %s:%u\n", host.c_str(), emu.port());
    std::fflush(stdout);

    std::string pending;
    for (;;) {
        pollfd fds[2] = {{STDIN_FILENO, POLLIN, 0}, {sfd, POLLIN, 0}};
        if (poll(fds, sfd >= 0 ? 2 : 1, -1) < 0) continue;
        if (sfd >= 0 && (fds[1].revents & POLLIN)) break;
        if (!(fds[0].revents & (POLLIN | POLLHUP | POLLERR))) continue;
        char buf[4096];
        const ssize_t got = read(STDIN_FILENO, buf, sizeof buf);
        if (got <= 0) break;
        pending.append(buf, static_cast<size_t>(got));
        size_t nl;
        while ((nl = pending.find('\n')) != std::string::npos) {
            std::string line = pending.substr(0, nl);
            pending.erase(0, nl + 1);
            if (!line.empty() && line.back() == '\r') line.pop_back();
            const std::string reply = emu.command(line);
            if (!reply.empty()) std::printf("%s\n", reply.c_str());
            std::fflush(stdout);
        }
    }
    emu.stop();
    if (print_log) std::fclose(print_log);
    if (frame_log) std::fclose(frame_log);
    if (sfd >= 0) close(sfd);
    return 0;
}
