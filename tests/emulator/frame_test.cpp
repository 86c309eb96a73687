// Frames, CRC, the stream parser, the page rendition and the command language, in-process.
#include "emulator/frame.h"

#include <gtest/gtest.h>

#include <string>

#include "emulator/page_text.h"
#include "emulator/printer.h"

namespace prt::emu {
namespace {

using Bytes = std::vector<uint8_t>;

TEST(EmuCrc, KnownAnswers) {
    const std::string digits = "123456789";
    EXPECT_EQ(crc16_x25(Bytes(digits.begin(), digits.end())), 0x906E);
    EXPECT_EQ(crc16_x25({}), 0x0000);
}

TEST(EmuFrame, GoldenHostFrames) {
    struct Case {
        uint8_t unit, control;
        Bytes golden;
    };
    const Case cases[] = {
        {1, 0xCD, {0x1B, 0x5B, 0x63, 0x04, 0x00, 0x01, 0xCD, 0xDD, 0xE8}},
        {2, 0xCD, {0x1B, 0x5B, 0x63, 0x04, 0x00, 0x02, 0xCD, 0xB5, 0xC2}},
        {1, 0xC5, {0x1B, 0x5B, 0x63, 0x04, 0x00, 0x01, 0xC5, 0x95, 0x64}},
        {0, 0xCC, {0x1B, 0x5B, 0x63, 0x04, 0x00, 0x00, 0xCC, 0x8C, 0xE0}},
    };
    for (const Case& c : cases) EXPECT_EQ(build_frame(c.unit, c.control, {}), c.golden);
}

TEST(EmuFrame, LengthFieldCountsDataAndCrc) {
    const Bytes f = build_frame(1, 0xCE, Bytes(256, 0x41));
    ASSERT_EQ(f.size(), 256u + 9u);
    EXPECT_EQ(f[3], 0x04);
    EXPECT_EQ(f[4], 0x01);
}

TEST(EmuParser, CutsFramesFromAnyChunking) {
    const Bytes poll = build_frame(1, 0xCD, {});
    const Bytes data = build_frame(1, 0xEE, Bytes{1, 2, 3});
    Bytes stream = {0x00, 0x1B, 0x42};  // noise, including a false start
    stream.insert(stream.end(), poll.begin(), poll.end());
    stream.insert(stream.end(), data.begin(), data.end());
    for (size_t chunk : {1u, 2u, 5u, 100u}) {
        SCOPED_TRACE(chunk);
        FrameParser p;
        std::vector<Frame> out;
        size_t skipped = 0;
        for (size_t i = 0; i < stream.size(); i += chunk) {
            const size_t n = std::min(chunk, stream.size() - i);
            skipped += p.feed(std::span<const uint8_t>(stream).subspan(i, n), out);
        }
        EXPECT_EQ(skipped, 3u);
        ASSERT_EQ(out.size(), 2u);
        EXPECT_EQ(out[0].kind(), FrameKind::Poll);
        EXPECT_TRUE(out[0].crc_ok);
        EXPECT_EQ(out[1].kind(), FrameKind::LastData);
        EXPECT_EQ(out[1].data, (Bytes{1, 2, 3}));
        EXPECT_EQ(out[1].raw, data);
        EXPECT_FALSE(p.partial());
    }
}

TEST(EmuParser, BadCrcAndBadLength) {
    Bytes bad = build_frame(2, 0xCD, {});
    bad[7] ^= 1;
    // A length of 3 is no frame: the lead-in is skipped and the search goes on.
    Bytes stream = {0x1B, 0x5B, 0x63, 0x03, 0x00};
    stream.insert(stream.end(), bad.begin(), bad.end());
    FrameParser p;
    std::vector<Frame> out;
    p.feed(stream, out);
    ASSERT_EQ(out.size(), 1u);
    EXPECT_FALSE(out[0].crc_ok);
    EXPECT_EQ(out[0].unit, 2);
    // A partial frame is kept until reset.
    p.feed(Bytes{0x1B, 0x5B, 0x63, 0x05}, out);
    EXPECT_TRUE(p.partial());
    p.reset();
    EXPECT_FALSE(p.partial());
}

TEST(EmuPageText, TextFeedsAndMarks) {
    const Bytes printed = {'H',  'i',  '\r', '\n', 0x1B, 'I',  0x02, 'a',  0x1B, 'C',
                           0x0C, 0x1B, '*',  0x00, 0x03, 0x00, 1,    2,    3,    'b',
                           0x1B, '[',  'c',  0x02, 0x00, 0x11, 0x22, 0x07, 0xE9, 'z'};
    EXPECT_EQ(render_page_text(printed), "Hi\n[ESC I 02]a[ESC C]\f\n[IMG 3]b[CMD 2][07].z");
}

class NullLine : public Line {
  public:
    void send(std::span<const uint8_t>) override {}
    void set_modem(bool, bool) override {}
    void send_break() override {}
};

TEST(EmuCommands, RepliesAndErrors) {
    NullLine line;
    Printer p(Config{}, line);
    struct Case {
        const char* line;
        const char* reply_prefix;
    };
    const Case cases[] = {
        {"insert", "ok"},
        {"key start1", "ok"},
        {"key nosuch", "error:"},
        {"status prt", "error:"},
        {"status prt 1 2 3 4 5 6", "error:"},
        {"status lpt 01", "error:"},
        {"error rems 1C", "ok"},
        {"fault busy", "error:"},
        {"fault lose-answer 2", "ok"},
        {"fault random 1 20", "ok"},
        {"fault clear", "ok"},
        {"fault sideways", "error:"},
        {"rate x", "error:"},
        {"power sideways", "error:"},
        {"frobnicate", "error: unknown command"},
        {"stats", "polls unit1=0"},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(p.command(c.line).rfind(c.reply_prefix, 0), 0u) << c.line;
    }
    // Two POR statuses, then the two scripted ones and the REMS error.
    EXPECT_EQ(p.pending_statuses(), 5u);
    const std::string help = p.command("help");
    for (const char* word : {"power", "insert", "key", "fault lose-answer", "fault random", "break",
                             "stripe", "micr", "frames"}) {
        EXPECT_NE(help.find(word), std::string::npos) << word;
    }
}

}  // namespace
}  // namespace prt::emu
