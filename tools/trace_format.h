// Decoding of the driver's trace sections (WPLOG1 to WPLOG4) for the viewer.
//
// A section is 65536 bytes: header word 0 (u32 LE) is the offset of the next record to be
// written (32 to 65504; 0 in a section no driver has attached to yet), word 1 the bytes of
// records written (capped at 65504, which marks a full ring). Records are 32 bytes at
// offsets 32, 64, ..., 65504: a UTC time (year % 100, month, day, hour, minute, second,
// u16 LE milliseconds), 8 kind-specific bytes and a 16-byte tag.
//
// Everything here is pure: it takes bytes that the caller copied out of a section, and
// never reads outside the span it is given.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace prt::trace {

constexpr size_t kSectionSize = 65536;
constexpr uint32_t kRecordSize = 32;
constexpr uint32_t kFirstRecord = 32;    // the records start after the header
constexpr uint32_t kLastRecord = 65504;  // offset of the last slot
constexpr uint32_t kFullCount = 65504;   // header word 1 of a full ring
constexpr uint32_t kRingRecords = 2047;

enum class Kind { Event, Value, Data };

struct Record {
    uint32_t offset = 0;  // where the record sits in its section
    uint8_t year = 0;     // modulo 100
    uint8_t month = 0, day = 0, hour = 0, minute = 0, second = 0;
    uint16_t millisecond = 0;
    std::string tag;  // trailing blanks trimmed, NULs dropped, other unprintables as '.'
    Kind kind = Kind::Data;
    uint16_t code = 0;                // Event
    bool code_is_completion = false;  // Event: the code is a completion code here
    uint32_t value = 0;               // Value
    std::array<uint8_t, 8> data{};    // bytes 8 to 15 as stored, for every kind
};

// Decodes the 32 bytes at `rec`. The kind comes from the driver's tag table for its own
// tags and from the shape of bytes 8 to 15 for any other tag.
Record decode_record(std::span<const uint8_t, kRecordSize> rec, uint32_t offset);

// The records of a section, oldest first. `section` must hold kSectionSize bytes (a
// shorter span gives nothing and a warning). A header that cannot be right (word 0 not a
// record offset, word 1 beyond a full ring) gives a warning in `warning`, and the records
// are then recovered as well as the header allows.
std::vector<Record> read_section(std::span<const uint8_t> section, std::string* warning);

// The text the document library shows for a completion code; empty when `code` is none.
std::string_view completion_text(uint16_t code);

// "2026-12-11 14:03:07.123".
std::string format_time(const Record& r);
// The last column: code, value or bytes.
std::string format_detail(const Record& r);
// One aligned output line (without newline), and the column header above such lines.
std::string format_line(const Record& r, int printer);
std::string header_line();

struct PrinterRecord {
    int printer;
    Record record;
};

// Merges the printers' lists (each oldest first) into one list ordered by time; records
// of one printer keep their order even if its clock stepped back.
std::vector<PrinterRecord> merge_by_time(const std::vector<std::vector<PrinterRecord>>& lists);

// Follows one section across repeated looks. Not thread-safe; one per section.
class Follower {
  public:
    enum class Change {
        None,   // only new records, if any
        Lost,   // more than a ring's worth arrived since the last look: records were lost
        Reset,  // the log was reset (created afresh): the records start over
    };

    // The records that arrived since the previous call, oldest first; the first call gives
    // everything the section holds. `warning` as for read_section.
    std::vector<Record> poll(std::span<const uint8_t> section, Change* change,
                             std::string* warning);

  private:
    bool started_ = false;
    uint32_t next_ = 0;   // header word 0 at the last look (0 read as 32)
    uint32_t count_ = 0;  // header word 1 at the last look
    bool have_newest_ = false;
    uint32_t newest_offset_ = 0;
    std::array<uint8_t, kRecordSize> newest_{};  // the newest record seen, to detect laps
};

}  // namespace prt::trace
