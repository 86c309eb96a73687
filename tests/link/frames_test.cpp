// Frames, CRC, status records and the classification of answers: bytes in, values out.
#include <gtest/gtest.h>

#include <cstring>
#include <vector>

#include "prtlink.h"
#include "prtlink/core/shared.h"
#include "prtlink/core/trans.h"
#include "prtlink/link/frames.h"
#include "prtlink/link/link.h"
#include "prtlink/link/status_record.h"
#include "tests/support/driver_env.h"

namespace {

using Bytes = std::vector<uint8_t>;

TEST(Crc, KnownAnswers) {
    const char* digits = "123456789";
    EXPECT_EQ(prtlink::Calc_Crc(reinterpret_cast<const uint8_t*>(digits), 9), 0x906E);
    EXPECT_EQ(prtlink::Calc_Crc(nullptr, 0), 0x0000);
    uint16_t crc = 0;
    prtlink::Crc_Step(0x01, &crc);
    EXPECT_EQ(crc, 0x1189) << "table entry 1";
}

TEST(Frames, GoldenShortFrames) {
    struct Case {
        uint8_t unit, control;
        Bytes want;
    };
    const Case cases[] = {
        {0, prtlink::kCtlLinkReset, {0x1B, 0x5B, 0x63, 0x04, 0x00, 0x00, 0xCC, 0x8C, 0xE0}},
        {1, prtlink::kCtlPoll, {0x1B, 0x5B, 0x63, 0x04, 0x00, 0x01, 0xCD, 0xDD, 0xE8}},
        {2, prtlink::kCtlPoll, {0x1B, 0x5B, 0x63, 0x04, 0x00, 0x02, 0xCD, 0xB5, 0xC2}},
        {1, prtlink::kCtlPollBlock, {0x1B, 0x5B, 0x63, 0x04, 0x00, 0x01, 0xC5, 0x95, 0x64}},
    };
    for (const Case& c : cases) {
        uint8_t f[9] = {};
        prtlink::Build_Short_Frame(f, c.unit, c.control);
        EXPECT_EQ(Bytes(f, f + 9), c.want) << int(c.control);
        EXPECT_TRUE(prtlink::Frame_Ok(f, 4, f + 7));
    }
}

TEST(Frames, DataFrameCarriesItsLengthAndCrcAtTheEnd) {
    for (uint16_t n : {uint16_t{1}, uint16_t{255}, uint16_t{256}}) {
        Bytes data(n, 0xA5);
        uint8_t f[265] = {};
        prtlink::Build_Data_Frame(f, 1, prtlink::kCtlLast, data.data(), n);
        EXPECT_EQ(f[3] | (f[4] << 8), n + 4);
        const uint16_t crc = prt::test::x25(f, n + 7u);
        EXPECT_EQ(f[263], crc & 0xFF) << n;
        EXPECT_EQ(f[264], crc >> 8) << n;
    }
    uint8_t f[265] = {};
    Bytes data(256, 0);
    prtlink::Build_Data_Frame(f, 1, prtlink::kCtlLast, data.data(), 256);
    EXPECT_EQ(f[3], 0x04);
    EXPECT_EQ(f[4], 0x01);
}

TEST(StatusRecord, PrintUnit) {
    struct Case {
        Bytes d;
        uint8_t model;
        uint16_t exc, err, detail;
    };
    const Case cases[] = {
        {{0x08, 0, 0, 0, 0}, 0x1C, 0x0008, 0, 0},
        {{0x40, 0, 0, 0, 0}, 0x1C, 0x4000, 0, 0},
        {{0x02, 0, 0, 0, 0}, 0x1C, 0x0200, 0, 0},
        {{0, 0, 0x04, 0, 0}, 0x1C, 0x8000, 0, 0},
        {{0, 0, 0x02, 0, 0}, 0x1C, 0x0100, 0, 0},
        {{0, 0, 0x08, 0, 0}, 0x1C, 0x0800, 0, 0},
        {{0x80, 0, 0, 0, 0}, 0x1C, 0x0080, 0, 0},
        {{0, 0x01, 0, 0, 0}, 0x19, 0x0004, 0, 0},
        {{0, 0x01, 0, 0, 0}, 0x1C, 0, 0x0001, 0},
        {{0, 0x20, 0, 0, 0}, 0x40, 0x2000, 0, 0},
        {{0, 0x10, 0, 0x12, 0x34}, 0x1C, 0, 0x0010, 0},
        {{0, 0, 0xE0, 0x12, 0x34}, 0x1C, 0, 0x00E0, 0x3412},
        {{0x31, 0x40, 0x10, 0, 0}, 0x1C, 0x1071, 0, 0},
    };
    for (const Case& c : cases) {
        uint16_t rec[3];
        prtlink::Build_Print_Record(c.d.data(), c.model, rec);
        EXPECT_EQ(rec[0], c.exc) << int(c.d[0]) << " " << int(c.d[1]) << " " << int(c.d[2]);
        EXPECT_EQ(rec[1], c.err);
        EXPECT_EQ(rec[2], c.detail);
    }
}

TEST(StatusRecord, RemsUnit) {
    struct Case {
        Bytes q;  // data bytes 0..6
        uint16_t exc, err, detail;
    };
    const Case cases[] = {
        {{0, 0, 0x01, 0, 0, 0, 0}, 0x0100, 0, 0},
        {{0, 0, 0, 0, 0x01, 0, 0}, 0, 0x0100, 0},
        {{0, 0, 0x80, 0x03, 0, 0x34, 0x12}, 0x0083, 0, 0x1234},
        {{0, 0, 0x40, 0x20, 0x18, 0, 0}, 0x6018, 0x1000, 0},
        {{0, 0, 0, 0x1C, 0xE0, 0, 0}, 0, 0xF00C, 0},
    };
    for (const Case& c : cases) {
        uint16_t rec[3];
        prtlink::Build_Rems_Record(c.q.data(), rec);
        EXPECT_EQ(rec[0], c.exc);
        EXPECT_EQ(rec[1], c.err);
        EXPECT_EQ(rec[2], c.detail);
    }
}

TEST(PickCode, Precedence) {
    struct Case {
        uint16_t a, b, want;
    };
    const Case cases[] = {{0, 1290, 1290},    {1290, 1288, 1288}, {1288, 1287, 1287},
                          {1287, 1288, 1287}, {1287, 2, 2},       {2, 0, 2},
                          {2, 476, 2},        {476, 2, 476},      {0, 0, 0}};
    for (const Case& c : cases) EXPECT_EQ(prtlink::Pick_Code(c.a, c.b), c.want) << c.a << "," << c.b;
}

// Check_Response on hand-made answers in rx_frame.
class CheckResponse : public ::testing::Test {
protected:
    void SetUp() override { ASSERT_TRUE(prtlink::Process_Attach()); }
    void TearDown() override { prtlink::Process_Detach(); }
    uint16_t check(uint8_t unit, uint8_t control, const Bytes& data) {
        const Bytes f = prt::test::ScriptedPeer::status_frame(unit, data, control);
        uint8_t* rx = prtlink::L(0).rx_frame;
        std::memset(rx, 0, prtlink::kRxFrameSize);
        std::memcpy(rx, f.data(), f.size() - 2);
        rx[121] = f[f.size() - 2];
        rx[122] = f[f.size() - 1];
        return prtlink::Check_Response(0, static_cast<uint16_t>(data.size() + 4), 0, unit);
    }
    prt::test::DriverEnv env_;
};

TEST_F(CheckResponse, Acknowledgements) {
    prtlink::SlotShared& s = prtlink::S(0);
    s.data_tag = 0x20;
    EXPECT_EQ(check(1, 0x70, {}), prtlink::kLinkAck);
    EXPECT_EQ(s.echo_bit, 0x10);
    EXPECT_EQ(s.buffer_ready, 0x40);
    EXPECT_EQ(check(2, 0x20, {}), prtlink::kLinkAck) << "the unit byte is not looked at";
    EXPECT_EQ(s.buffer_ready, 0);
    EXPECT_EQ(check(1, 0x40, {}), prtlink::kLinkTagMismatch);
    EXPECT_EQ(s.unit_counters[0][2], 1);
    EXPECT_EQ(s.data_tag, 0x20) << "an acknowledgement never changes the tag";
    // A bad CRC or lead-in.
    const Bytes f = prt::test::ScriptedPeer::status_frame(1, {}, 0x40);
    uint8_t* rx = prtlink::L(0).rx_frame;
    std::memcpy(rx, f.data(), 7);
    rx[121] = f[7] ^ 1;
    rx[122] = f[8];
    EXPECT_EQ(prtlink::Check_Response(0, 4, 0, 1), prtlink::kLinkBadFrame);
}

TEST_F(CheckResponse, PrintUnitClassification) {
    prtlink::S(0).prt_model = 0x1C;
    struct Case {
        Bytes d;
        uint16_t want;
    };
    const Case cases[] = {
        {{0, 0, 0, 0, 0}, prtlink::kStatusClean},
        {{0x08, 0, 0, 0, 0}, PRT_STATUS_AVAILABLE},
        {{0x10, 0, 0, 0, 0}, PRT_STATUS_AVAILABLE},
        {{0x01, 0, 0, 0, 0}, PRT_DEVICE_EXCEPTION},
        {{0, 0x20, 0, 0, 0}, PRT_DEVICE_EXCEPTION},
        {{0, 0, 0x20, 0, 0}, PRT_DEVICE_ERROR},
        {{0x08, 0x01, 0, 0, 0}, PRT_DEVICE_ERROR},
        {{0, 0, 0x10, 0, 0}, PRT_STATUS_AVAILABLE},
    };
    for (const Case& c : cases) {
        prtlink::S(0).data_tag = 0;
        EXPECT_EQ(check(1, 0x60, c.d), c.want) << int(c.d[0]) << " " << int(c.d[1]);
        EXPECT_EQ(prtlink::S(0).data_tag, 0x20) << "a status always sets the tag";
        EXPECT_EQ(prtlink::S(0).prt_por_mark, 0xFF);
    }
    prtlink::S(0).prt_model = 0x19;
    EXPECT_EQ(check(1, 0x40, {0, 0x01, 0, 0, 0}), PRT_STATUS_AVAILABLE) << "model 0x19";
}

TEST_F(CheckResponse, PowerOnStatuses) {
    prtlink::SlotShared& s = prtlink::S(0);
    EXPECT_EQ(check(1, 0x40, {0x80, 0x01, 0xD0, 0x40, 0x42}), PRT_DEVICE_EXCEPTION);
    EXPECT_EQ(s.prt_por_count, 1);
    EXPECT_EQ(s.prt_model, 0xD0);
    EXPECT_EQ(s.prt_features, 0x40);
    EXPECT_EQ(s.unit_level[0], 0x42);
    EXPECT_EQ(s.unit_ext_status[0], 0x0180);
    EXPECT_FALSE(prtlink::Has_Rems_Unit(0)) << "model 0xD0 with the no-REMS bit";
    EXPECT_EQ(s.status_record[0], 0x0080);
    EXPECT_EQ(s.status_record[2], 0) << "identification bytes count as 0";
    // Reported with its error bit: an error, not counted.
    EXPECT_EQ(check(1, 0x40, {0x80, 0x10, 0x1C, 0, 0x30}), PRT_DEVICE_ERROR);
    EXPECT_EQ(s.prt_por_count, 1);
    // REMS unit.
    EXPECT_EQ(check(2, 0x40, {0, 0, 0x80, 0, 0, 0x05, 0x31, 0}), PRT_DEVICE_EXCEPTION);
    EXPECT_EQ(s.rems_por_flag, 0xFF);
    EXPECT_EQ(s.unit_level[1], 0x31);
    EXPECT_EQ(s.rems_features, 0x05);
    EXPECT_EQ(check(2, 0x40, {0, 0, 0, 0x04, 0, 0, 0, 0}), PRT_DEVICE_ERROR);
    EXPECT_EQ(check(2, 0x40, {0, 0, 0, 0x01, 0, 0, 0, 0}), PRT_DEVICE_EXCEPTION);
    EXPECT_EQ(check(2, 0x40, {0, 0, 0x01, 0, 0, 0, 0, 0}), PRT_STATUS_AVAILABLE);
    EXPECT_EQ(check(2, 0x40, {0, 0, 0, 0, 0, 0, 0, 0}), prtlink::kStatusClean);
}

}  // namespace
