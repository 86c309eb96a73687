// prttrace: creates the driver's trace sections and shows what the driver logged in them.
// The decoding lives in trace_format; this file deals with arguments, shared memory and
// the terminal.
#include <signal.h>
#include <time.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "platform/names.h"
#include "platform/shared_block.h"
#include "tools/trace_format.h"

namespace {

using prt::trace::Follower;
using prt::trace::kSectionSize;
using prt::trace::PrinterRecord;
using prt::trace::Record;

constexpr char kUsage[] = R"(Usage: prttrace [show] [-f|--follow] [PRINTER...]
       prttrace create [PRINTER...]
       prttrace -h|--help

Shows the trace log that the prtlink driver keeps for each printer.

Commands:
  show     Print the records of each printer's log, oldest first, one per line
           (the default command).
  create   Create the trace sections, or empty the ones that exist. The driver
           starts logging for a printer at the first open that finds its section,
           so create the sections before the printers are opened.

Options:
  -f, --follow   After the records so far, print new ones as they arrive, until
                 interrupted (Ctrl-C).
  -h, --help     Print this help.

PRINTER is 1 to 4; without any, all four. Times are UTC. Each line shows the
time, the printer, the tag the driver wrote, the kind of record and its content:
an event's code (with its meaning when it is a completion code), a value, or
eight data bytes in hex.

The sections are the shared memory objects WPLOG1 to WPLOG4, named /WPLOGn, or
/<ns>.WPLOGn when PRT_NAMESPACE=<ns> is set (as the driver's processes must be).

Exit status: 0 when at least one printer's log was shown (show) or every section
was created (create); 1 otherwise; 2 for a usage error.
)";

volatile sig_atomic_t g_stop = 0;

void on_signal(int) {
    g_stop = 1;
}

std::string section_name(int printer) {
    return prt::plat::posix_name("WPLOG" + std::to_string(printer));
}

struct Options {
    bool create = false;
    bool follow = false;
    std::vector<int> printers;
};

// Returns -1 to go on, else the exit status.
int parse_args(int argc, char** argv, Options& opt) {
    bool have_command = false;
    bool want[5] = {};
    for (int i = 1; i < argc; ++i) {
        const std::string a = argv[i];
        if (a == "-h" || a == "--help") {
            std::fputs(kUsage, stdout);
            return 0;
        }
        if (a == "-f" || a == "--follow") {
            opt.follow = true;
        } else if (!have_command && (a == "show" || a == "create")) {
            have_command = true;
            opt.create = a == "create";
        } else if (a.size() == 1 && a[0] >= '1' && a[0] <= '4') {
            want[a[0] - '0'] = true;
        } else {
            std::fprintf(stderr, "prttrace: unexpected argument '%s' (printers are 1 to 4)\n",
                         a.c_str());
            std::fprintf(stderr, "Try 'prttrace --help'.\n");
            return 2;
        }
    }
    if (opt.create && opt.follow) {
        std::fprintf(stderr, "prttrace: --follow goes with show, not create\n");
        return 2;
    }
    for (int p = 1; p <= 4; ++p) {
        if (want[p]) opt.printers.push_back(p);
    }
    if (opt.printers.empty()) opt.printers = {1, 2, 3, 4};
    return -1;
}

int run_create(const Options& opt) {
    int failed = 0;
    for (int p : opt.printers) {
        const std::string name = section_name(p);
        void* base = prt::plat::section_create(name, kSectionSize);
        if (base == nullptr) {
            std::fprintf(stderr, "prttrace: printer %d: cannot create %s: %s\n", p, name.c_str(),
                         std::strerror(errno));
            ++failed;
            continue;
        }
        prt::plat::section_unmap(base, kSectionSize);
        std::printf("printer %d: trace section %s ready (%zu bytes, empty)\n", p, name.c_str(),
                    kSectionSize);
    }
    return failed == 0 ? 0 : 1;
}

// One printer's section as this process sees it.
struct Section {
    int printer = 0;
    void* base = nullptr;
    Follower follower;
    std::string last_warning;
    bool announced_missing = false;
};

bool try_open(Section& s) {
    s.base = prt::plat::section_open(section_name(s.printer), kSectionSize);
    return s.base != nullptr;
}

void report_missing(const Section& s, bool follow) {
    std::fprintf(stderr, "prttrace: printer %d has no trace section (%s)%s\n", s.printer,
                 section_name(s.printer).c_str(),
                 follow ? "; waiting for it" : "; 'prttrace create' makes one");
}

// A copy taken in one go, so that decoding never races the driver's writes byte by byte.
std::vector<uint8_t> snapshot(const Section& s) {
    std::vector<uint8_t> copy(kSectionSize);
    std::memcpy(copy.data(), s.base, kSectionSize);
    return copy;
}

void report_warning(Section& s, const std::string& warning) {
    if (warning.empty() || warning == s.last_warning) return;
    s.last_warning = warning;
    std::fprintf(stderr, "prttrace: printer %d: %s\n", s.printer, warning.c_str());
}

void print_records(const std::vector<PrinterRecord>& records, bool& header_done) {
    if (records.empty()) return;
    if (!header_done) {
        std::printf("%s\n", prt::trace::header_line().c_str());
        header_done = true;
    }
    for (const PrinterRecord& pr : records) {
        std::printf("%s\n", prt::trace::format_line(pr.record, pr.printer).c_str());
    }
}

std::vector<PrinterRecord> tagged(int printer, std::vector<Record> records) {
    std::vector<PrinterRecord> out;
    out.reserve(records.size());
    for (Record& r : records) out.push_back(PrinterRecord{printer, std::move(r)});
    return out;
}

int run_show(const Options& opt) {
    std::vector<Section> sections(opt.printers.size());
    int shown = 0;
    for (size_t i = 0; i < sections.size(); ++i) {
        sections[i].printer = opt.printers[i];
        if (try_open(sections[i])) {
            ++shown;
        } else {
            report_missing(sections[i], opt.follow);
            sections[i].announced_missing = true;
        }
    }

    bool header_done = false;
    if (!opt.follow) {
        std::vector<std::vector<PrinterRecord>> lists;
        for (Section& s : sections) {
            if (s.base == nullptr) continue;
            std::string warning;
            std::vector<Record> records = prt::trace::read_section(snapshot(s), &warning);
            report_warning(s, warning);
            if (records.empty())
                std::fprintf(stderr, "prttrace: printer %d: no records\n", s.printer);
            lists.push_back(tagged(s.printer, std::move(records)));
        }
        print_records(prt::trace::merge_by_time(lists), header_done);
    } else {
        struct sigaction sa {};
        sa.sa_handler = on_signal;  // no SA_RESTART: the sleep below ends at once
        sigemptyset(&sa.sa_mask);
        sigaction(SIGINT, &sa, nullptr);
        sigaction(SIGTERM, &sa, nullptr);

        for (unsigned tick = 0; !g_stop; ++tick) {
            std::vector<std::vector<PrinterRecord>> lists;
            for (Section& s : sections) {
                // A printer whose section is missing is looked for again about once a second.
                if (s.base == nullptr) {
                    if (tick % 10 != 0 || !try_open(s)) continue;
                    ++shown;
                    std::fprintf(stderr, "prttrace: printer %d: trace section found\n", s.printer);
                }
                std::string warning;
                Follower::Change change = Follower::Change::None;
                std::vector<Record> records = s.follower.poll(snapshot(s), &change, &warning);
                report_warning(s, warning);
                if (change != Follower::Change::None) {
                    print_records(lists.empty() ? std::vector<PrinterRecord>{}
                                                : prt::trace::merge_by_time(lists),
                                  header_done);
                    lists.clear();
                    std::printf("-- printer %d: %s --\n", s.printer,
                                change == Follower::Change::Lost
                                    ? "records were lost: more than a ring's worth (2047) "
                                      "arrived since the last look"
                                    : "the log was reset");
                }
                lists.push_back(tagged(s.printer, std::move(records)));
            }
            print_records(prt::trace::merge_by_time(lists), header_done);
            std::fflush(stdout);
            const timespec pause{0, 100 * 1000 * 1000};
            nanosleep(&pause, nullptr);
        }
    }

    for (Section& s : sections) prt::plat::section_unmap(s.base, kSectionSize);
    std::fflush(stdout);
    return shown > 0 ? 0 : 1;
}

}  // namespace

int main(int argc, char** argv) {
    Options opt;
    const int status = parse_args(argc, argv, opt);
    if (status >= 0) return status;
    return opt.create ? run_create(opt) : run_show(opt);
}
