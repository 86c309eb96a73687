#include "tools/trace_format.h"

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <tuple>

namespace prt::trace {
namespace {

uint32_t le32(const uint8_t* p) {
    return p[0] | (static_cast<uint32_t>(p[1]) << 8) | (static_cast<uint32_t>(p[2]) << 16) |
           (static_cast<uint32_t>(p[3]) << 24);
}

// What the driver writes under each of its tags. An event tag says whether its code is a
// completion code (the operation ends, results of exchanges) or something else: 0 for a
// failed system call, trace codes, counts, unit numbers. Naming a count of 2 "Code-page
// file could not be found" would mislead whoever reads the log.
enum class TagKind { Event, EventResult, Value, Data };

struct KnownTag {
    std::string_view tag;  // as displayed: trailing blanks and NULs removed
    TagKind kind;
};

constexpr KnownTag kKnownTags[] = {
    // Configuration.
    {"Validate ComPort", TagKind::Event},
    {"Validate Baud", TagKind::Event},
    {"Validate Stop", TagKind::Event},
    // Opening and closing.
    {"PrtOpenDeviceLst", TagKind::Data},
    {"PrtOpenDevPrmLst", TagKind::Data},
    {"CreateTimer", TagKind::Event},
    {"Invalid CTS set", TagKind::Event},
    {"EscapeCommFunc 0", TagKind::Event},
    {"SetCommState", TagKind::Event},
    {"PrtOpenDevice", TagKind::EventResult},
    {"PrtOpenDevicePrm", TagKind::EventResult},
    {"PrtSetCTSLine", TagKind::EventResult},
    {"CloseHandle", TagKind::Event},
    {"Open Count", TagKind::EventResult},
    {"PrtCloseDevice", TagKind::EventResult},
    // Transactions and driver reset.
    {"Wait4SingleObj_F", TagKind::Value},
    {"GetLastError", TagKind::Value},
    {"Wait4SingleObj", TagKind::Value},
    {"PrtBeginTrans", TagKind::EventResult},
    {"ReleaseSemaphore", TagKind::Event},
    {"PrtEndTrans", TagKind::EventResult},
    {"PrtResetDriver", TagKind::EventResult},
    // Link frames, receiving and recovery.
    {"POR_Required", TagKind::EventResult},
    {"RETRY OCCURED 1", TagKind::Event},
    {"RETRY FAILED 1", TagKind::Event},
    {"CTS OFF", TagKind::Event},
    {"RETRY OCCURED 2", TagKind::Event},
    {"RETRY FAILED 2", TagKind::Event},
    {"doublestatus", TagKind::EventResult},
    {"resyncORtag", TagKind::Event},
    {"WriteFile 10", TagKind::Event},
    {"PRT_UNIT STATUS", TagKind::Data},
    {"REMS_UNIT STATUS", TagKind::Data},
    {"POLL ACK PRINTER", TagKind::Event},
    {"POLL ACK REMS", TagKind::Event},
    {"headerORcrc", TagKind::Event},
    {"GetCommModemStat", TagKind::Event},
    {"RESYNC DETECT", TagKind::Event},
    {"wait dsr on", TagKind::Value},
    {"GetCommMask", TagKind::Event},
    {"EscapeCommFunc 1", TagKind::Event},
    {"EscapeCommFunc 2", TagKind::Event},
    {"EscapeCommFunc 3", TagKind::Event},
    {"EscapeCommFunc 4", TagKind::Event},
    {"EscapeCommFunc 5", TagKind::Event},
    {"ReadFile  1", TagKind::Value},
    {"ReadFile  2", TagKind::Value},
    {"wait dsr off", TagKind::Event},
    {"TAG UNMATCH", TagKind::Event},
    {"printer off", TagKind::Value},
    {"PurgeComm", TagKind::Event},
    {"Link Reset", TagKind::Event},
    {"POR PRT response", TagKind::Event},
    {"POR REMS respons", TagKind::Event},
    {"WriteFile 11", TagKind::Event},
    {"SetCommBreak", TagKind::Event},
    {"ClearCommBreak", TagKind::Event},
    {"EscapeCommFunc 6", TagKind::Event},
    {"double resync", TagKind::Event},
    // Device status.
    {"Wait Ack Stat_F", TagKind::Value},
    {"Wait Ack Status", TagKind::Value},
    {"PrtDeviceStatus", TagKind::EventResult},
    // Print data and background printing.
    {"PrtWriteDevice", TagKind::EventResult},
    {"Print_Norm_F 1", TagKind::Value},
    {"Print_Norm 1", TagKind::Value},
    {"Print_Norm_F 2", TagKind::Value},
    {"Print_Norm 2", TagKind::Value},
    {"Print_Norm_F 3", TagKind::Value},
    {"Print_Norm 3", TagKind::Value},
    {"WRITE DATA F/M", TagKind::Data},
    {"WRITE DATA LAST", TagKind::Data},
    {"WriteFile 2", TagKind::Event},
    {"WriteFile 1", TagKind::Event},
    {"WaitComp", TagKind::Event},
    {"WriteFile 3", TagKind::Event},
    {"WriteFile 4", TagKind::Event},
    {"comp wait 1", TagKind::Event},
    {"ERROR RECEIVE", TagKind::EventResult},
    {"COMPWAIT", TagKind::Event},
    {"Encode_Data_F", TagKind::Value},
    {"Encode_Data", TagKind::Value},
    {"REMS DATA LAST", TagKind::Data},
    {"WriteFile 5", TagKind::Value},
    {"WriteFile 6", TagKind::Value},
    {"comp wait 3", TagKind::Event},
    {"RE-WRITE DATA", TagKind::Data},
    {"re transmit 1", TagKind::Event},
    {"re transmit 2", TagKind::Event},
    {"Try GlobalAlloc", TagKind::Event},
    {"Try ResetEvent", TagKind::Event},
    {"Try CreateThread", TagKind::Event},
    {"CreateThread", TagKind::Event},
    {"overlap resp", TagKind::Event},
    {"EXIT THREAD", TagKind::Event},
    {"buffer avail", TagKind::Event},
    // Reading device data and MICR, environment variables.
    {"PrtReadDevice", TagKind::EventResult},
    {"Read_Data_F", TagKind::Value},
    {"Read_Data", TagKind::Value},
    {"PrtReqMicrDevice", TagKind::EventResult},
    {"Read_Micr_Data_F", TagKind::Value},
    {"Read_Micr_Data", TagKind::Value},
    {"Micr GetLastErro", TagKind::Value},
    {"PrtGetEnvVars", TagKind::EventResult},
    {"PrtSetEnvVars", TagKind::EventResult},
    {"Load_Parm_F", TagKind::Value},
    {"Load_Parm", TagKind::Value},
    // Code pages and fonts. "SearchPath Error" is a value for code-page files and an
    // event for font files, so it is left to the shape of the record.
    {"PrtGetCP", TagKind::EventResult},
    {"PrtSetCP", TagKind::EventResult},
    {"No DCP file", TagKind::EventResult},
    {"DCP file empty", TagKind::EventResult},
    {"CreateFile Error", TagKind::Event},
    {"Comp not in tbl", TagKind::Event},
};

const KnownTag* find_tag(std::string_view tag) {
    for (const KnownTag& k : kKnownTags) {
        if (k.tag == tag) return &k;
    }
    return nullptr;
}

struct Completion {
    uint16_t code;
    std::string_view text;
};

constexpr Completion kCompletions[] = {
    {0, "Operation completed successfully"},
    {2, "Code-page file could not be found"},
    {476, "Specified code-page ID is not defined or not supported on the printer"},
    {1281, "Printer already open. Another handle owns it."},
    {1282, "Invalid parameters"},
    {1283, "The buffer size too small"},
    {1284, "Invalid printer handle"},
    {1285, "The component specified is not valid"},
    {1286, "Communication error"},
    {1287, "Printer detected an error in a requested operation"},
    {1288, "Printer detected an exception in a requested operation"},
    {1289, "Unsupported component"},
    {1290, "Device status available"},
    {1291, "Device status is not available within the time-out"},
    {1292, "Internal subsistem error detected"},
    {1293, "Device did not receive POR status"},
    {1294, "Access to the printer is denied. Another process owns it."},
    {1295, "Printer status is pending"},
    {1297, "Failed attempt to transmit code-page or font info"},
    {1298, "Invalid printer ID"},
    {1299, "A POR status is returned without any device status"},
    {1300, "Failed attempt to transmit REMS attributes"},
};

std::string display_tag(const uint8_t* p) {
    std::string tag;
    for (size_t i = 0; i < 16; ++i) {
        const uint8_t c = p[i];
        if (c == 0) continue;
        tag += (c >= 0x20 && c < 0x7F) ? static_cast<char>(c) : '.';
    }
    while (!tag.empty() && tag.back() == ' ') tag.pop_back();
    return tag;
}

bool valid_next(uint32_t w0) {
    return w0 >= kFirstRecord && w0 <= kLastRecord && w0 % kRecordSize == 0;
}

uint32_t slot_index(uint32_t offset) {
    return (offset - kFirstRecord) / kRecordSize;
}
uint32_t slot_offset(uint32_t index) {
    return kFirstRecord + (index % kRingRecords) * kRecordSize;
}

// The newest record's offset: the slot before `next`, wrapping from 32 back to 65504.
uint32_t newest_before(uint32_t next) {
    return next == kFirstRecord ? kLastRecord : next - kRecordSize;
}

Record record_at(std::span<const uint8_t> section, uint32_t offset) {
    return decode_record(
        std::span<const uint8_t, kRecordSize>(section.data() + offset, kRecordSize), offset);
}

std::string hex32(uint32_t v) {
    char buf[16];
    std::snprintf(buf, sizeof buf, "0x%08X", v);
    return buf;
}

}  // namespace

Record decode_record(std::span<const uint8_t, kRecordSize> rec, uint32_t offset) {
    const uint8_t* p = rec.data();
    Record r;
    r.offset = offset;
    r.year = p[0];
    r.month = p[1];
    r.day = p[2];
    r.hour = p[3];
    r.minute = p[4];
    r.second = p[5];
    r.millisecond = static_cast<uint16_t>(p[6] | (p[7] << 8));
    std::memcpy(r.data.data(), p + 8, 8);
    r.tag = display_tag(p + 16);

    const uint8_t* b = p + 8;
    r.code = static_cast<uint16_t>(((b[5] & 0x0F) << 12) | ((b[6] & 0x0F) << 8) | b[7]);
    r.value = (static_cast<uint32_t>(b[4]) << 24) | (static_cast<uint32_t>(b[5]) << 16) |
              (static_cast<uint32_t>(b[6]) << 8) | b[7];

    const KnownTag* known = find_tag(r.tag);
    if (known != nullptr) {
        switch (known->kind) {
            case TagKind::Event:
                r.kind = Kind::Event;
                break;
            case TagKind::EventResult:
                r.kind = Kind::Event;
                r.code_is_completion = !completion_text(r.code).empty();
                break;
            case TagKind::Value:
                r.kind = Kind::Value;
                break;
            case TagKind::Data:
                r.kind = Kind::Data;
                break;
        }
        return r;
    }

    // A tag we do not know: guess from the shape. An event leaves bytes 8 to 12 zero and
    // bytes 13 and 14 hold four bits each; a value leaves bytes 8 to 11 zero.
    const bool zero8to11 = b[0] == 0 && b[1] == 0 && b[2] == 0 && b[3] == 0;
    if (zero8to11 && b[4] == 0 && b[5] <= 0x0F && b[6] <= 0x0F) {
        r.kind = Kind::Event;
        // 0 is what a failed system call records, so only non-zero codes get a name.
        r.code_is_completion = r.code != 0 && !completion_text(r.code).empty();
    } else if (zero8to11) {
        r.kind = Kind::Value;
    } else {
        r.kind = Kind::Data;
    }
    return r;
}

std::vector<Record> read_section(std::span<const uint8_t> section, std::string* warning) {
    std::vector<Record> out;
    if (section.size() < kSectionSize) {
        if (warning)
            *warning = "section is shorter than " + std::to_string(kSectionSize) + " bytes";
        return out;
    }
    const uint32_t w0 = le32(section.data());
    const uint32_t w1 = le32(section.data() + 4);
    if (w0 == 0 && w1 == 0) return out;  // created, no driver has attached yet

    if (!valid_next(w0)) {
        // Without a trustworthy write position the order is unknown; show what the slots
        // hold in section order rather than nothing.
        if (warning) {
            *warning = "header word 0 (" + hex32(w0) + ") is not a record offset" +
                       "; records shown in section order";
        }
        static constexpr uint8_t kZero[kRecordSize] = {};
        for (uint32_t off = kFirstRecord; off <= kLastRecord; off += kRecordSize) {
            if (std::memcmp(section.data() + off, kZero, kRecordSize) != 0) {
                out.push_back(record_at(section, off));
            }
        }
        return out;
    }

    if (w1 > kFullCount && warning) {
        *warning = "header word 1 (" + std::to_string(w1) + ") is beyond a full ring; read as full";
    }
    if (w1 >= kFullCount) {
        // Full: the next write position holds the oldest record.
        out.reserve(kRingRecords);
        for (uint32_t i = 0; i < kRingRecords; ++i) {
            out.push_back(record_at(section, slot_offset(slot_index(w0) + i)));
        }
    } else {
        for (uint32_t off = kFirstRecord; off < w0; off += kRecordSize) {
            out.push_back(record_at(section, off));
        }
    }
    return out;
}

std::string_view completion_text(uint16_t code) {
    for (const Completion& c : kCompletions) {
        if (c.code == code) return c.text;
    }
    return {};
}

std::string format_time(const Record& r) {
    char buf[64];
    std::snprintf(buf, sizeof buf, "20%02u-%02u-%02u %02u:%02u:%02u.%03u", r.year, r.month, r.day,
                  r.hour, r.minute, r.second, r.millisecond);
    return buf;
}

std::string format_detail(const Record& r) {
    char buf[128];
    switch (r.kind) {
        case Kind::Event: {
            std::snprintf(buf, sizeof buf, "%u (0x%04X)", r.code, r.code);
            std::string s = buf;
            if (r.code_is_completion) {
                s += ' ';
                s += completion_text(r.code);
            }
            return s;
        }
        case Kind::Value:
            std::snprintf(buf, sizeof buf, "%u (0x%08X)", r.value, r.value);
            return buf;
        case Kind::Data:
            std::snprintf(buf, sizeof buf, "%02X %02X %02X %02X %02X %02X %02X %02X", r.data[0],
                          r.data[1], r.data[2], r.data[3], r.data[4], r.data[5], r.data[6],
                          r.data[7]);
            return buf;
    }
    return {};
}

namespace {
const char* kind_name(Kind k) {
    switch (k) {
        case Kind::Event:
            return "event";
        case Kind::Value:
            return "value";
        case Kind::Data:
            return "data";
    }
    return "?";
}

std::string columns(const std::string& time, const std::string& printer, const std::string& tag,
                    const std::string& kind, const std::string& detail) {
    char buf[256];
    std::snprintf(buf, sizeof buf, "%-23s  %-3s  %-16s  %-5s  ", time.c_str(), printer.c_str(),
                  tag.c_str(), kind.c_str());
    return buf + detail;
}
}  // namespace

std::string format_line(const Record& r, int printer) {
    return columns(format_time(r), std::to_string(printer), r.tag, kind_name(r.kind),
                   format_detail(r));
}

std::string header_line() {
    return columns("TIME (UTC)", "PRT", "TAG", "KIND", "DETAIL");
}

std::vector<PrinterRecord> merge_by_time(const std::vector<std::vector<PrinterRecord>>& lists) {
    auto key = [](const Record& r) {
        return std::make_tuple(r.year, r.month, r.day, r.hour, r.minute, r.second, r.millisecond);
    };
    std::vector<size_t> pos(lists.size(), 0);
    size_t total = 0;
    for (const auto& l : lists) total += l.size();
    std::vector<PrinterRecord> out;
    out.reserve(total);
    while (out.size() < total) {
        size_t best = lists.size();
        for (size_t i = 0; i < lists.size(); ++i) {
            if (pos[i] == lists[i].size()) continue;
            if (best == lists.size() ||
                key(lists[i][pos[i]].record) < key(lists[best][pos[best]].record)) {
                best = i;
            }
        }
        out.push_back(lists[best][pos[best]++]);
    }
    return out;
}

std::vector<Record> Follower::poll(std::span<const uint8_t> section, Change* change,
                                   std::string* warning) {
    if (change) *change = Change::None;
    if (section.size() < kSectionSize) return read_section(section, warning);
    const uint32_t w0 = le32(section.data());
    const uint32_t w1 = le32(section.data() + 4);
    const uint32_t next = (w0 == 0 && w1 == 0) ? kFirstRecord : w0;
    if (!valid_next(next)) {
        // Nothing new can be placed without a write position. The first look still shows
        // what the slots hold; later looks wait for the header to make sense again.
        std::vector<Record> out;
        if (!started_) {
            out = read_section(section, warning);
            started_ = true;
            next_ = kFirstRecord;
            count_ = w1;
            have_newest_ = false;
        } else if (warning) {
            *warning = "header word 0 (" + hex32(w0) + ") is not a record offset";
        }
        return out;
    }

    const bool full = w1 >= kFullCount;
    std::vector<Record> out;
    bool whole = !started_;
    if (started_) {
        const bool count_dropped = w1 < count_;
        // Word 0 going back on a ring that is not full: the section was created afresh,
        // or a new generation of the driver attached and writes from the start again.
        const bool went_back = !full && next < next_;
        const bool lapped = have_newest_ && std::memcmp(section.data() + newest_offset_,
                                                        newest_.data(), kRecordSize) != 0;
        const uint32_t n = (slot_index(next) + kRingRecords - slot_index(next_)) % kRingRecords;
        if (count_dropped || went_back) {
            if (change) *change = Change::Reset;
            whole = true;
        } else if (lapped || (n == 0 && w1 != count_)) {
            // The newest record we saw was overwritten, or the position came round to
            // where it was while the count moved: a whole ring or more went by.
            if (change) *change = Change::Lost;
            whole = true;
        } else {
            for (uint32_t i = 0; i < n; ++i) {
                out.push_back(record_at(section, slot_offset(slot_index(next_) + i)));
            }
        }
    }
    if (whole) out = read_section(section, warning);

    started_ = true;
    next_ = next;
    count_ = w1;
    have_newest_ = full || next > kFirstRecord;
    if (have_newest_) {
        newest_offset_ = newest_before(next);
        std::memcpy(newest_.data(), section.data() + newest_offset_, kRecordSize);
    }
    return out;
}

}  // namespace prt::trace
