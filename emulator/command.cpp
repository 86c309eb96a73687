// The prtsim command language, shared by the program's standard input and by tests.
#include <cstdio>
#include <sstream>

#include "emulator/printer.h"

namespace prt::emu {
namespace {

const char kHelp[] =
    "Commands (one a line; numbers decimal, bytes hexadecimal):\n"
    "  help                      this list\n"
    "  power off|on|cycle        CTS down and silence / CTS up, link reset, POR statuses\n"
    "  insert | remove           document inserted (d0 08) / removed (d0 40)\n"
    "  eod | nodoc               end of document (d0 02) / no document (d0 40)\n"
    "  key stop|cover|start1|start2|mf|mf1|mf2|mf3\n"
    "                            a key: d0 01, d0 01, d0 20, d0 10, d1 40, d2 08, d2 04, d2 02\n"
    "  status prt D0 [D1 D2 D3 D4]    queue a raw print-unit status\n"
    "  status rems Q2 [Q3 Q4 Q5 Q6]   queue a raw REMS status (data bytes 2..6)\n"
    "  error prt [D1] | error rems [Q3]   error status (default d1 02, q3 04)\n"
    "  exception prt|rems        exception status (d1 20, q3 01)\n"
    "  available prt|rems        device status available (d2 10, q2 01)\n"
    "  stripe TEXT | stripe-hex BYTES     what the next stripe read returns\n"
    "  micr TEXT                 queue a MICR line (the last one is repeated)\n"
    "  prtdata BYTES             data of the print-unit read command\n"
    "  fault lose-answer [N]     no answer to the next N polls\n"
    "  fault bad-crc [N]         corrupt the CRC of the next N answers\n"
    "  fault wrong-seq [N]       the other sequence bit in the next N answers\n"
    "  fault break [N]           a break instead of the next N answers\n"
    "  fault double-status [N]   a status to the next N acknowledging polls\n"
    "  fault busy N              no buffer room in the next N answers\n"
    "  fault never-complete [N]  the next N writes or REMS commands never complete\n"
    "  fault drop-data [N]       lose the next N data frames\n"
    "  fault random SEED PERCENT random faults on PERCENT of answers and data frames\n"
    "  fault clear               no more faults\n"
    "  break                     send a break to the host now\n"
    "  rate BPS | delay MS       print rate (0 instant) / extra delay before answers\n"
    "  stats                     counters\n"
    "  page                      the printed pages as text\n"
    "  printlog                  the bytes taken by the print unit, in hex\n"
    "  rems                      the REMS commands received\n"
    "  frames [N]                the last N frame records (default 20)\n";

bool parse_hex_bytes(std::istringstream& in, std::vector<uint8_t>& out) {
    std::string tok;
    while (in >> tok) {
        if (tok.size() > 2 || tok.find_first_not_of("0123456789abcdefABCDEF") != std::string::npos)
            return false;
        out.push_back(static_cast<uint8_t>(std::stoul(tok, nullptr, 16)));
    }
    return true;
}

bool parse_count(std::istringstream& in, uint32_t& n, uint32_t dflt) {
    std::string tok;
    if (!(in >> tok)) {
        n = dflt;
        return true;
    }
    if (tok.find_first_not_of("0123456789") != std::string::npos || tok.size() > 9) return false;
    n = static_cast<uint32_t>(std::stoul(tok));
    return true;
}

std::string rest_of(std::istringstream& in) {
    std::string s;
    std::getline(in >> std::ws, s);
    return s;
}

}  // namespace

const char* command_help() {
    return kHelp;
}

std::string Printer::command(const std::string& line) {
    std::istringstream in(line);
    std::string cmd, arg;
    if (!(in >> cmd)) return "";
    const std::string bad = "error: bad arguments to '" + cmd + "'";

    if (cmd == "help") return kHelp;
    if (cmd == "power") {
        in >> arg;
        if (arg == "off") {
            power_off();
        } else if (arg == "on") {
            power_on();
        } else if (arg == "cycle") {
            power_off();
            power_on();
        } else {
            return bad;
        }
        return "ok";
    }
    if (cmd == "insert") return insert_document(), "ok";
    if (cmd == "remove") return remove_document(), "ok";
    if (cmd == "eod") return end_of_document(), "ok";
    if (cmd == "nodoc") return no_document(), "ok";
    if (cmd == "key") {
        in >> arg;
        static const struct {
            const char* name;
            Key k;
        } kKeys[] = {{"stop", Key::Stop},     {"cover", Key::Stop},   {"start1", Key::Start1},
                     {"start2", Key::Start2}, {"mf", Key::Multiuser}, {"mf1", Key::Mf1},
                     {"mf2", Key::Mf2},       {"mf3", Key::Mf3}};
        for (const auto& e : kKeys) {
            if (arg == e.name) return key(e.k), "ok";
        }
        return bad;
    }
    if (cmd == "status" || cmd == "error" || cmd == "exception" || cmd == "available") {
        in >> arg;
        std::vector<uint8_t> b;
        if ((arg != "prt" && arg != "rems") || !parse_hex_bytes(in, b) || b.size() > 5) return bad;
        const bool prt = arg == "prt";
        if (cmd == "status") {
            if (b.empty()) return bad;
            std::array<uint8_t, 5> a{};
            std::copy(b.begin(), b.end(), a.begin());
            prt ? queue_print_status(a) : queue_rems_status(a);
        } else if (cmd == "error") {
            if (b.size() > 1) return bad;
            if (prt) {
                print_error(b.empty() ? 0x02 : b[0]);
            } else {
                rems_error(b.empty() ? 0x04 : b[0]);
            }
        } else if (cmd == "exception") {
            prt ? print_exception() : rems_exception();
        } else {
            prt ? print_status_available() : rems_status_available();
        }
        return "ok";
    }
    if (cmd == "stripe") {
        const std::string s = rest_of(in);
        set_stripe(std::vector<uint8_t>(s.begin(), s.end()));
        return "ok";
    }
    if (cmd == "stripe-hex" || cmd == "prtdata") {
        std::vector<uint8_t> b;
        if (!parse_hex_bytes(in, b)) return bad;
        cmd == "prtdata" ? set_print_read_data(std::move(b)) : set_stripe(std::move(b));
        return "ok";
    }
    if (cmd == "micr") return add_micr_line(rest_of(in)), "ok";
    if (cmd == "fault") {
        in >> arg;
        uint32_t n = 0;
        if (arg == "clear") return clear_faults(), "ok";
        if (arg == "random") {
            uint32_t seed = 0, pct = 0;
            if (!parse_count(in, seed, 0) || !parse_count(in, pct, 10)) return bad;
            fault_random(seed, pct);
            return "ok";
        }
        if (!parse_count(in, n, arg == "busy" ? 0 : 1) || n == 0) return bad;
        if (arg == "lose-answer") {
            fault_lose_answer(n);
        } else if (arg == "bad-crc") {
            fault_bad_crc(n);
        } else if (arg == "wrong-seq") {
            fault_wrong_seq(n);
        } else if (arg == "break") {
            fault_break_answer(n);
        } else if (arg == "double-status") {
            fault_double_status(n);
        } else if (arg == "busy") {
            fault_busy(n);
        } else if (arg == "never-complete") {
            fault_never_complete(n);
        } else if (arg == "drop-data") {
            fault_drop_data(n);
        } else {
            return bad;
        }
        return "ok";
    }
    if (cmd == "break") return send_break(), "ok";
    if (cmd == "rate" || cmd == "delay") {
        uint32_t n = 0;
        std::string tok;
        if (!(in >> tok) || tok.find_first_not_of("0123456789") != std::string::npos ||
            tok.size() > 9)
            return bad;
        n = static_cast<uint32_t>(std::stoul(tok));
        cmd == "rate" ? set_print_rate(n) : set_reply_delay(n);
        return "ok";
    }
    if (cmd == "stats") {
        const Counters c = counters();
        std::ostringstream o;
        o << "polls unit1=" << c.polls[1] << " unit2=" << c.polls[2]
          << " link-resets=" << c.link_resets << " breaks-in=" << c.breaks_received
          << " breaks-out=" << c.breaks_sent << " data-taken=" << c.data_taken
          << " data-repeats=" << c.data_repeats << " data-dropped=" << c.data_dropped
          << " bad-frames=" << c.bad_frames << " answers=" << c.answers
          << " statuses=" << c.statuses_sent << " delivered=" << c.statuses_delivered
          << " completions=" << c.completions << " printed=" << print_log().size()
          << " power=" << (powered() ? "on" : "off");
        return o.str();
    }
    if (cmd == "page") return page_text();
    if (cmd == "printlog") return hex(print_log());
    if (cmd == "rems") {
        std::ostringstream o;
        char b[32];
        for (const RemsCommand& r : rems_commands()) {
            std::snprintf(b, sizeof b, "device=%02X function=%02X", r.device, r.function);
            o << b << " params=" << hex(r.params) << '\n';
        }
        std::string s = o.str();
        if (!s.empty()) s.pop_back();
        return s;
    }
    if (cmd == "frames") {
        uint32_t n = 0;
        if (!parse_count(in, n, 20)) return bad;
        const auto all = frames();
        std::ostringstream o;
        const size_t from = all.size() > n ? all.size() - n : 0;
        for (size_t i = from; i < all.size(); ++i) {
            const FrameRecord& r = all[i];
            o << r.ms << "ms " << (r.out ? "<- " : "-> ") << r.text;
            if (!r.bytes.empty()) o << " [" << hex(r.bytes) << "]";
            if (i + 1 < all.size()) o << '\n';
        }
        return o.str();
    }
    return "error: unknown command '" + cmd + "' (try help)";
}

}  // namespace prt::emu
