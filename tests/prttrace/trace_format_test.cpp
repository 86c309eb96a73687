#include "tools/trace_format.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "tests/prttrace/trace_writer.h"

namespace prt::trace {
namespace {

using testing::event;
using testing::get_u32;
using testing::put_u32;
using testing::record;
using testing::RecordBytes;
using testing::Stamp;
using testing::value;
using testing::Writer;

constexpr char kTime[] = "2026-12-11 14:03:07.123";

Record decode(const RecordBytes& r) {
    return decode_record(std::span<const uint8_t, 32>(r), 32);
}

std::string line(const RecordBytes& r) {
    return format_line(decode(r), 1);
}

// The stamp of record number i, so that ring order can be read back from the time.
Stamp stamp_of(uint32_t i) {
    Stamp t;
    t.hour = static_cast<uint8_t>(i / 3600 % 24);
    t.minute = static_cast<uint8_t>(i / 60 % 60);
    t.second = static_cast<uint8_t>(i % 60);
    t.millisecond = static_cast<uint16_t>(i % 1000);
    return t;
}

// Record number i as the tests write it: a value record carrying i.
RecordBytes numbered(uint32_t i) {
    return value("Read_Data", i, stamp_of(i));
}

std::vector<uint32_t> numbers(const std::vector<Record>& records) {
    std::vector<uint32_t> out;
    for (const Record& r : records) out.push_back(r.value);
    return out;
}

std::vector<uint32_t> range(uint32_t first, uint32_t last) {
    std::vector<uint32_t> out;
    for (uint32_t i = first; i <= last; ++i) out.push_back(i);
    return out;
}

// ---------------------------------------------------------------------------------------
// Record encodings and their lines.

TEST(TraceRecord, EncodingOfCodesAndValues) {
    const RecordBytes e = event("PrtCloseDevice", 0x050C);
    EXPECT_EQ(e[13], 0x00);
    EXPECT_EQ(e[14], 0x05);
    EXPECT_EQ(e[15], 0x0C);
    const RecordBytes v = value("Read_Data_F", 0xFFFFFFFF);
    for (int i = 8; i < 12; ++i) EXPECT_EQ(v[i], 0x00);
    for (int i = 12; i < 16; ++i) EXPECT_EQ(v[i], 0xFF);
}

struct LineCase {
    const char* label;
    RecordBytes rec;
    const char* expected;  // after the time
};

const std::string kNulTag1("Load_Parm      \0", 16);
const std::string kNulTag2("Comp not in tbl\0", 16);

const LineCase kLineCases[] = {
    // Events of operations name their completion code.
    {"completion code", event("PrtOpenDevice", 1286),
     "  1    PrtOpenDevice     event  1286 (0x0506) Communication error"},
    {"success", event("PrtCloseDevice", 0),
     "  1    PrtCloseDevice    event  0 (0x0000) Operation completed successfully"},
    {"trace code", event("Validate ComPort", 3021),
     "  1    Validate ComPort  event  3021 (0x0BCD)"},
    {"failed call", event("SetCommState", 0), "  1    SetCommState      event  0 (0x0000)"},
    {"count that looks like a code", event("RESYNC DETECT", 2),
     "  1    RESYNC DETECT     event  2 (0x0002)"},
    {"unknown tag, completion code", event("Custom tag", 1292),
     "  1    Custom tag        event  1292 (0x050C) Internal subsistem error detected"},
    {"unknown tag, code 0", event("Custom tag", 0), "  1    Custom tag        event  0 (0x0000)"},
    {"highest event code", event("Custom tag", 0xFFFF),
     "  1    Custom tag        event  65535 (0xFFFF)"},
    {"NUL in the tag", event(kNulTag2, 0), "  1    Comp not in tbl   event  0 (0x0000)"},
    // Values.
    {"failed wait", value("Read_Data_F", 0xFFFFFFFF),
     "  1    Read_Data_F       value  4294967295 (0xFFFFFFFF)"},
    {"value tag wins over the event shape", value(kNulTag1, 3),
     "  1    Load_Parm         value  3 (0x00000003)"},
    {"system error is no completion code", value("GetLastError", 0x506),
     "  1    GetLastError      value  1286 (0x00000506)"},
    {"two blanks inside a tag", value("ReadFile  1", 5),
     "  1    ReadFile  1       value  5 (0x00000005)"},
    {"unknown tag, value shape", value("Custom tag", 0x00100000),
     "  1    Custom tag        value  1048576 (0x00100000)"},
    // Data.
    {"data tag wins over the event shape", record("WRITE DATA LAST", {0, 0, 0, 0, 0, 0, 0, 0x41}),
     "  1    WRITE DATA LAST   data   00 00 00 00 00 00 00 41"},
    {"data tag wins over the value shape", record("PRT_UNIT STATUS", {0, 0, 0, 0, 1, 2, 3, 4}),
     "  1    PRT_UNIT STATUS   data   00 00 00 00 01 02 03 04"},
    {"open arguments", record("PrtOpenDeviceLst", {0, 1, 0, 0, 0x13, 0x88, 0, 0}),
     "  1    PrtOpenDeviceLst  data   00 01 00 00 13 88 00 00"},
    {"unknown tag, data shape", record("Custom tag", {0x1B, 0x5B, 0x63, 0, 5, 1, 2, 0xFF}),
     "  1    Custom tag        data   1B 5B 63 00 05 01 02 FF"},
};

TEST(TraceRecord, GoldenLines) {
    for (const LineCase& c : kLineCases) {
        SCOPED_TRACE(c.label);
        EXPECT_EQ(line(c.rec), kTime + std::string(c.expected));
    }
}

TEST(TraceRecord, HeaderLineLinesUpWithRecords) {
    const std::string header = header_line();
    const std::string rec = line(event("PrtOpenDevice", 0));
    EXPECT_EQ(header.find("PRT"), rec.find(" 1 ") + 1);
    EXPECT_EQ(header.find("TAG"), rec.find("PrtOpenDevice"));
    EXPECT_EQ(header.find("KIND"), rec.find("event"));
    EXPECT_EQ(header.find("DETAIL"), rec.find("0 (0x0000)"));
}

struct ShapeCase {
    std::array<uint8_t, 8> body;
    Kind kind;
};

// Tags the driver never writes fall back to the shape of bytes 8 to 15.
TEST(TraceRecord, ShapeDecidesForUnknownTags) {
    const ShapeCase cases[] = {
        {{0, 0, 0, 0, 0, 0x0F, 0x0F, 0xFF}, Kind::Event},
        {{0, 0, 0, 0, 0, 0, 0, 0}, Kind::Event},
        {{0, 0, 0, 0, 0, 0x10, 0, 0}, Kind::Value},
        {{0, 0, 0, 0, 0, 0, 0x10, 0}, Kind::Value},
        {{0, 0, 0, 0, 1, 0, 0, 0}, Kind::Value},
        {{0, 0, 0, 1, 0, 0, 0, 0}, Kind::Data},
        {{1, 0, 0, 0, 0, 0, 0, 0}, Kind::Data},
    };
    for (const ShapeCase& c : cases) {
        const Record r = decode(record("Not a driver tag", c.body));
        EXPECT_EQ(r.kind, c.kind) << format_detail(r);
    }
}

TEST(TraceRecord, TagAndTimeDisplay) {
    RecordBytes r = record(std::string("  a\0b\x01\xFF  ", 9), {}, Stamp{5, 1, 2, 3, 4, 5, 999});
    const Record d = decode(r);
    EXPECT_EQ(d.tag, "  ab..");  // leading blanks kept, NUL dropped, others as '.'
    EXPECT_EQ(format_time(d), "2005-01-02 03:04:05.999");
}

// ---------------------------------------------------------------------------------------
// Reading the ring.

class TraceRing : public ::testing::Test {
  protected:
    std::vector<uint8_t> section_ = std::vector<uint8_t>(kSectionSize);
    Writer writer_{section_.data()};

    void write_numbered(uint32_t first, uint32_t last) {
        for (uint32_t i = first; i <= last; ++i) writer_.write(numbered(i));
    }
    std::vector<Record> read(std::string* warning = nullptr) {
        std::string w;
        auto out = read_section(section_, &w);
        if (warning) *warning = w;
        return out;
    }
};

TEST_F(TraceRing, FreshAndAttachedSectionsAreEmpty) {
    std::string warning;
    EXPECT_TRUE(read(&warning).empty());
    EXPECT_EQ(warning, "");
    writer_.attach();
    EXPECT_TRUE(read(&warning).empty());
    EXPECT_EQ(warning, "");
}

TEST_F(TraceRing, PartlyFilledOldestFirst) {
    writer_.attach();
    write_numbered(1, 3);
    const auto records = read();
    EXPECT_EQ(numbers(records), range(1, 3));
    EXPECT_EQ(records[0].offset, 32u);
    EXPECT_EQ(format_line(records[2], 2).substr(0, 23), "2026-12-11 00:00:03.003");
}

TEST_F(TraceRing, ExactlyFullStartsAtTheFirstSlot) {
    writer_.attach();
    write_numbered(1, 2047);
    EXPECT_EQ(get_u32(section_.data()), 32u);
    EXPECT_EQ(get_u32(section_.data() + 4), 65504u);
    EXPECT_EQ(numbers(read()), range(1, 2047));
}

TEST_F(TraceRing, The2048thRecordOverwritesTheFirstSlot) {
    writer_.attach();
    write_numbered(1, 2048);
    EXPECT_EQ(get_u32(section_.data()), 64u);
    EXPECT_EQ(get_u32(section_.data() + 4), 65504u);
    const auto records = read();
    EXPECT_EQ(numbers(records), range(2, 2048));
    EXPECT_EQ(records.front().offset, 64u);
    EXPECT_EQ(records.back().offset, 32u);
}

TEST_F(TraceRing, ManyLaps) {
    writer_.attach();
    write_numbered(1, 5000);
    EXPECT_EQ(numbers(read()), range(5000 - 2046, 5000));
}

TEST_F(TraceRing, ReattachedDriverWritesFromTheStartAgain) {
    writer_.attach();
    write_numbered(1, 10);
    writer_.attach();  // word 0 back to 32, word 1 still 320
    write_numbered(11, 12);
    EXPECT_EQ(numbers(read()), range(11, 12));
}

TEST_F(TraceRing, CorruptHeaderNeverReadsPastTheSection) {
    // A record in the first slot and one in the last; the slots between are empty.
    writer_.write(numbered(0));
    const RecordBytes last = numbered(7);
    std::memcpy(section_.data() + 65504, last.data(), 32);
    for (uint32_t w0 : {0u, 16u, 33u, 65505u, 65520u, 65536u, 0xFFFFFFE0u, 0xFFFFFFFFu}) {
        SCOPED_TRACE(w0);
        put_u32(section_.data(), w0);
        put_u32(section_.data() + 4, 64);
        std::string warning;
        const auto records = read(&warning);
        EXPECT_NE(warning.find("header word 0"), std::string::npos);
        EXPECT_EQ(numbers(records), (std::vector<uint32_t>{0, 7}));
    }
}

TEST_F(TraceRing, CountBeyondAFullRingReadsAsFull) {
    writer_.attach();
    write_numbered(1, 2100);
    put_u32(section_.data() + 4, 0x7FFFFFFF);
    std::string warning;
    EXPECT_EQ(numbers(read(&warning)), range(54, 2100));
    EXPECT_NE(warning.find("word 1"), std::string::npos);
}

TEST(TraceRingShort, ShortSpanGivesNothing) {
    const std::vector<uint8_t> small(100, 0xFF);
    std::string warning;
    EXPECT_TRUE(read_section(small, &warning).empty());
    EXPECT_FALSE(warning.empty());
    Follower f;
    EXPECT_TRUE(f.poll(small, nullptr, nullptr).empty());
}

// ---------------------------------------------------------------------------------------
// Several printers.

TEST(TraceMerge, ByTimeKeepingEachPrintersOrder) {
    auto at = [](int printer, uint8_t second, uint32_t n) {
        Record r = decode(value("x", n, Stamp{26, 1, 1, 0, 0, second, 0}));
        return PrinterRecord{printer, r};
    };
    // Printer 2's clock steps back between its second and third record.
    const std::vector<std::vector<PrinterRecord>> lists = {
        {at(1, 1, 10), at(1, 4, 11), at(1, 6, 12)},
        {at(2, 1, 20), at(2, 5, 21), at(2, 2, 22)},
        {},
    };
    std::vector<uint32_t> order;
    for (const PrinterRecord& pr : merge_by_time(lists)) order.push_back(pr.record.value);
    EXPECT_EQ(order, (std::vector<uint32_t>{10, 20, 11, 21, 22, 12}));
}

// ---------------------------------------------------------------------------------------
// Following a section between looks.

class TraceFollow : public TraceRing {
  protected:
    Follower follower_;
    Follower::Change change_ = Follower::Change::None;
    std::vector<uint32_t> poll() { return numbers(follower_.poll(section_, &change_, nullptr)); }
};

TEST_F(TraceFollow, NewRecordsOnlyAcrossTheWrap) {
    writer_.attach();
    write_numbered(1, 2040);
    EXPECT_EQ(poll(), range(1, 2040));
    EXPECT_EQ(poll(), std::vector<uint32_t>{});
    write_numbered(2041, 2060);  // crosses the end of the ring
    EXPECT_EQ(poll(), range(2041, 2060));
    EXPECT_EQ(change_, Follower::Change::None);
    write_numbered(2061, 2061);
    EXPECT_EQ(poll(), range(2061, 2061));
    EXPECT_EQ(change_, Follower::Change::None);
}

TEST_F(TraceFollow, FromAFreshSection) {
    EXPECT_EQ(poll(), std::vector<uint32_t>{});
    writer_.attach();
    EXPECT_EQ(poll(), std::vector<uint32_t>{});
    write_numbered(1, 2);
    EXPECT_EQ(poll(), range(1, 2));
    EXPECT_EQ(change_, Follower::Change::None);
}

TEST_F(TraceFollow, MoreThanARingBetweenLooksIsLost) {
    writer_.attach();
    write_numbered(1, 5);
    EXPECT_EQ(poll(), range(1, 5));
    write_numbered(6, 2100);
    EXPECT_EQ(poll(), range(2100 - 2046, 2100));
    EXPECT_EQ(change_, Follower::Change::Lost);
    write_numbered(2101, 2101);
    EXPECT_EQ(poll(), range(2101, 2101));
    EXPECT_EQ(change_, Follower::Change::None);
}

TEST_F(TraceFollow, AWholeRingFromEmptyIsNoticed) {
    writer_.attach();
    EXPECT_EQ(poll(), std::vector<uint32_t>{});
    write_numbered(1, 2047);  // word 0 is back at 32
    EXPECT_EQ(poll(), range(1, 2047));
    EXPECT_EQ(change_, Follower::Change::Lost);
}

TEST_F(TraceFollow, ResetAndReattach) {
    writer_.attach();
    write_numbered(1, 4);
    EXPECT_EQ(poll(), range(1, 4));

    std::fill(section_.begin(), section_.end(), 0);  // created afresh by the viewer
    EXPECT_EQ(poll(), std::vector<uint32_t>{});
    EXPECT_EQ(change_, Follower::Change::Reset);
    writer_.attach();
    write_numbered(5, 6);
    EXPECT_EQ(poll(), range(5, 6));
    EXPECT_EQ(change_, Follower::Change::None);

    writer_.attach();  // a new driver generation: word 0 back to 32, count kept
    write_numbered(7, 7);
    EXPECT_EQ(poll(), range(7, 7));
    EXPECT_EQ(change_, Follower::Change::Reset);
}

TEST_F(TraceFollow, CorruptHeaderWaitsForAGoodOne) {
    writer_.attach();
    write_numbered(1, 3);
    EXPECT_EQ(poll(), range(1, 3));
    put_u32(section_.data(), 40);
    std::string warning;
    EXPECT_TRUE(follower_.poll(section_, &change_, &warning).empty());
    EXPECT_FALSE(warning.empty());
    put_u32(section_.data(), 32 + 3 * 32);
    write_numbered(4, 4);
    EXPECT_EQ(poll(), range(4, 4));
}

}  // namespace
}  // namespace prt::trace
