#include "platform/registry.h"

#include <gtest/gtest.h>
#include <stdlib.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <random>
#include <string>
#include <vector>

namespace prt::plat {
namespace {

constexpr const char* kKey = "HKEY_TEST\\Key";
const std::string kHead = "Windows Registry Editor Version 5.00\r\n\r\n[HKEY_TEST\\Key]\r\n";

using Bytes = std::vector<uint8_t>;

// ---------------------------------------------------------------------------------------
// Value forms, one line each under one key.

struct ValueCase {
    const char* line;
    const char* name;  // looked up under kKey
    bool present;
    RegType type;
    uint32_t hex_kind;
    uint32_t dword;
    std::string text;
    Bytes bytes;
};

const ValueCase kValueCases[] = {
    // dword: 1 to 8 hex digits, nothing after but blanks or a comment.
    {R"("v"=dword:00000001)", "v", true, RegType::Dword, 4, 1, "", {}},
    {R"("v"=dword:FFFFffff)", "v", true, RegType::Dword, 4, 0xFFFFFFFF, "", {}},
    {R"("v"=dword:4b00)", "v", true, RegType::Dword, 4, 0x4B00, "", {}},
    {R"("v"=dword:00000002   ; two)", "v", true, RegType::Dword, 4, 2, "", {}},
    {R"("v" = dword:00000003)", "v", true, RegType::Dword, 4, 3, "", {}},
    {R"("v"=dword:000000001)", "v", false, {}, 0, 0, "", {}},
    {R"("v"=dword:)", "v", false, {}, 0, 0, "", {}},
    {R"("v"=dword:12g4)", "v", false, {}, 0, 0, "", {}},
    {R"("v"=dword:-1)", "v", false, {}, 0, 0, "", {}},
    {R"("v"=dword:00000001 x)", "v", false, {}, 0, 0, "", {}},
    {R"("v"=dword:0x10)", "v", false, {}, 0, 0, "", {}},
    // Strings with the two escapes the editor writes.
    {R"("v"="text")", "v", true, RegType::String, 1, 0, "text", {}},
    {R"("v"="say \"hi\" C:\\dir\\")", "v", true, RegType::String, 1, 0, R"(say "hi" C:\dir\)", {}},
    {R"("v"="")", "v", true, RegType::String, 1, 0, "", {}},
    {R"("v"="a;b" ; comment)", "v", true, RegType::String, 1, 0, "a;b", {}},
    {R"(@="default")", "", true, RegType::String, 1, 0, "default", {}},
    {R"("v"="open)", "v", false, {}, 0, 0, "", {}},
    {R"("v"="bad\escape")", "v", false, {}, 0, 0, "", {}},
    {R"("v"="text" trailing)", "v", false, {}, 0, 0, "", {}},
    {R"("v"="ends in backslash\")", "v", false, {}, 0, 0, "", {}},
    // hex lists and their kinds.
    {R"("v"=hex:01,ab,FF)", "v", true, RegType::Binary, 3, 0, "", {0x01, 0xAB, 0xFF}},
    {R"("v"=hex:)", "v", true, RegType::Binary, 3, 0, "", {}},
    {R"("v"=hex: 1, 2 )", "v", true, RegType::Binary, 3, 0, "", {0x01, 0x02}},
    {R"("v"=hex(3):7f)", "v", true, RegType::Binary, 3, 0, "", {0x7F}},
    {R"("v"=hex(2):41,00,42,00,00,00)",
     "v",
     true,
     RegType::ExpandString,
     2,
     0,
     "AB",
     {0x41, 0, 0x42, 0, 0, 0}},
    {R"("v"=hex(2):25,00,e9,00,3d,d8,00,de,00,00)",
     "v",
     true,
     RegType::ExpandString,
     2,
     0,
     "%\xC3\xA9\xF0\x9F\x98\x80",
     {0x25, 0, 0xE9, 0, 0x3D, 0xD8, 0x00, 0xDE, 0, 0}},
    {R"("v"=hex(2):00,d8,41,00)",
     "v",
     true,
     RegType::ExpandString,
     2,
     0,
     "\xEF\xBF\xBD"
     "A",
     {0x00, 0xD8, 0x41, 0x00}},
    {R"("v"=hex(2):41,00,42)", "v", true, RegType::ExpandString, 2, 0, "A", {0x41, 0, 0x42}},
    {R"("v"=hex(7):41,00,00,00,00,00)",
     "v",
     true,
     RegType::MultiString,
     7,
     0,
     "",
     {0x41, 0, 0, 0, 0, 0}},
    {R"("v"=hex(b):01,00,00,00,00,00,00,00)",
     "v",
     true,
     RegType::Qword,
     11,
     0,
     "",
     {1, 0, 0, 0, 0, 0, 0, 0}},
    {R"("v"=hex(4):01,00,00,00)", "v", true, RegType::Other, 4, 0, "", {1, 0, 0, 0}},
    {R"("v"=hex(0):)", "v", true, RegType::Other, 0, 0, "", {}},
    {R"("v"=HEX(A):05)", "v", true, RegType::Other, 10, 0, "", {5}},
    {R"("v"=hex:01,,02)", "v", false, {}, 0, 0, "", {}},
    {R"("v"=hex:01,02,)", "v", false, {}, 0, 0, "", {}},
    {R"("v"=hex:100)", "v", false, {}, 0, 0, "", {}},
    {R"("v"=hex:zz)", "v", false, {}, 0, 0, "", {}},
    {R"("v"=hex(q):01)", "v", false, {}, 0, 0, "", {}},
    {R"("v"=hex(2:41)", "v", false, {}, 0, 0, "", {}},
    {R"("v"=hex():41)", "v", false, {}, 0, 0, "", {}},
    {R"("v"=hex(123456789):00)", "v", false, {}, 0, 0, "", {}},
    {R"("v"=hexa:00)", "v", false, {}, 0, 0, "", {}},
    // Deletions and other malformed lines.
    {R"("v"=-)", "v", false, {}, 0, 0, "", {}},
    {R"("v"=)", "v", false, {}, 0, 0, "", {}},
    {R"("v"=qword:01)", "v", false, {}, 0, 0, "", {}},
    {R"(v=dword:00000001)", "v", false, {}, 0, 0, "", {}},
    {R"("v"dword:00000001)", "v", false, {}, 0, 0, "", {}},
    {R"("v=dword:00000001)", "v", false, {}, 0, 0, "", {}},
};

TEST(RegistryValue, EachFormAndEachMalformedForm) {
    for (const ValueCase& c : kValueCases) {
        SCOPED_TRACE(c.line);
        const Registry reg = Registry::parse(kHead + c.line + "\r\n\"after\"=dword:00000007\r\n");
        const auto v = reg.value(kKey, c.name);
        ASSERT_EQ(v.has_value(), c.present);
        // A skipped line never takes the next one down with it.
        const auto after = reg.value(kKey, "after");
        ASSERT_TRUE(after.has_value());
        EXPECT_EQ(after->dword, 7u);
        if (!c.present) continue;
        EXPECT_EQ(v->type, c.type);
        EXPECT_EQ(v->hex_kind, c.hex_kind);
        EXPECT_EQ(v->dword, c.dword);
        EXPECT_EQ(v->text, c.text);
        EXPECT_EQ(v->bytes, c.bytes);
    }
}

// ---------------------------------------------------------------------------------------
// Whole files.

const char kPlatformExample[] = R"(Windows Registry Editor Version 5.00

[HKEY_CLASSES_ROOT\QTX_SBCS_FINANCE_PRINTERS]
"CTS_Line"=dword:00000001

[HKEY_CLASSES_ROOT\QTX_SBCS_FINANCE_PRINTERS\PRINTER_1]
"ComPort"=dword:00000003
"BaudRate"=dword:00004b00

[HKEY_LOCAL_MACHINE\SOFTWARE\prtlink\Ports]
"COM3"="/dev/serial/by-id/usb-FTDI_FT232R-if00-port0"
"COM4"="rfc2217://10.1.2.3:4001"
)";

constexpr const char* kPrinters = "HKEY_CLASSES_ROOT\\QTX_SBCS_FINANCE_PRINTERS";
constexpr const char* kPrinter1 = "HKEY_CLASSES_ROOT\\QTX_SBCS_FINANCE_PRINTERS\\PRINTER_1";
constexpr const char* kPorts = "HKEY_LOCAL_MACHINE\\SOFTWARE\\prtlink\\Ports";

uint32_t dword_of(const Registry& reg, const char* key, const char* name) {
    const auto v = reg.value(key, name);
    if (!v || v->type != RegType::Dword) return 0xDEADBEEF;
    return v->dword;
}

std::string text_of(const Registry& reg, const char* key, const char* name) {
    const auto v = reg.value(key, name);
    return (v && v->type == RegType::String) ? v->text : "<none>";
}

void expect_platform_example(const Registry& reg) {
    EXPECT_TRUE(reg.has_key(kPrinters));
    EXPECT_TRUE(reg.has_key(kPrinter1));
    EXPECT_FALSE(reg.has_key("HKEY_CLASSES_ROOT\\QTX_SBCS_FINANCE_PRINTERS\\PRINTER_2"));
    EXPECT_EQ(dword_of(reg, kPrinters, "CTS_Line"), 1u);
    EXPECT_EQ(dword_of(reg, kPrinter1, "ComPort"), 3u);
    EXPECT_EQ(dword_of(reg, kPrinter1, "BaudRate"), 19200u);
    EXPECT_FALSE(reg.value(kPrinter1, "StopBits").has_value());
    EXPECT_FALSE(reg.value(kPrinters, "ComPort").has_value());  // values stay with their key
    EXPECT_EQ(text_of(reg, kPorts, "COM3"), "/dev/serial/by-id/usb-FTDI_FT232R-if00-port0");
    EXPECT_EQ(text_of(reg, kPorts, "COM4"), "rfc2217://10.1.2.3:4001");
}

std::string crlf(std::string_view s) {
    std::string out;
    for (char c : s) {
        if (c == '\n') out += '\r';
        out += c;
    }
    return out;
}

// UTF-8 (ASCII and two-byte sequences suffice here) to UTF-16LE with its byte-order mark.
std::string utf16le(std::string_view s) {
    std::string out = "\xFF\xFE";
    for (size_t i = 0; i < s.size(); ++i) {
        uint32_t cp = static_cast<uint8_t>(s[i]);
        if ((cp & 0xE0) == 0xC0 && i + 1 < s.size()) {
            cp = ((cp & 0x1F) << 6) | (static_cast<uint8_t>(s[++i]) & 0x3F);
        }
        out += static_cast<char>(cp & 0xFF);
        out += static_cast<char>(cp >> 8);
    }
    return out;
}

TEST(RegistryFile, PlatformExampleInEveryEncodingAndLineEnding) {
    const std::string lf = kPlatformExample;
    const std::pair<const char*, std::string> files[] = {
        {"utf-8, LF", lf},
        {"utf-8, CRLF", crlf(lf)},
        {"utf-8 BOM, CRLF", "\xEF\xBB\xBF" + crlf(lf)},
        {"utf-16le BOM, CRLF", utf16le(crlf(lf))},
        {"utf-16le BOM, LF", utf16le(lf)},
        {"REGEDIT4", "REGEDIT4\n" + lf.substr(lf.find('\n') + 1)},
        {"blank lines before header", "\n  \r\n" + lf},
    };
    for (const auto& [label, file] : files) {
        SCOPED_TRACE(label);
        expect_platform_example(Registry::parse(file));
    }
}

TEST(RegistryFile, Utf16TextKeepsNonAscii) {
    const Registry reg = Registry::parse(
        utf16le("Windows Registry Editor Version 5.00\r\n[HKEY_TEST\\Cl\xC3\xA9]\r\n"
                "\"N\xC3\xA4me\"=\"caf\xC3\xA9\"\r\n"));
    EXPECT_TRUE(reg.has_key("HKEY_TEST\\Cl\xC3\xA9"));
    EXPECT_EQ(text_of(reg, "HKEY_TEST\\Cl\xC3\xA9", "N\xC3\xA4me"), "caf\xC3\xA9");
}

TEST(RegistryFile, WithoutHeaderIsEmpty) {
    const std::string body = "[HKEY_TEST\\Key]\n\"v\"=dword:00000001\n";
    for (const std::string& file :
         {body, "REGEDIT5\n" + body, "Windows Registry Editor Version 4.00\n" + body,
          "; REGEDIT4\n" + body, std::string(""), utf16le(body),
          // UTF-16 without its byte-order mark is not recognised.
          utf16le("REGEDIT4\n" + body).substr(2)}) {
        const Registry reg = Registry::parse(file);
        EXPECT_FALSE(reg.has_key(kKey));
        EXPECT_FALSE(reg.value(kKey, "v").has_value());
    }
}

TEST(RegistryFile, ContinuationsJoinHexLists) {
    const Registry reg = Registry::parse(kHead +
                                         "\"bin\"=hex:01,02,\\\r\n"
                                         "  03,04,\\\r\n"
                                         "\t05\r\n"
                                         "\"exp\"=hex(2):2f,00,64,00,\\\n"
                                         "  65,00,76,00,00,00\n"
                                         "\"cut\"=hex:0a,\\\n");  // continued into the end
    const auto bin = reg.value(kKey, "bin");
    ASSERT_TRUE(bin.has_value());
    EXPECT_EQ(bin->bytes, (Bytes{1, 2, 3, 4, 5}));
    const auto exp = reg.value(kKey, "exp");
    ASSERT_TRUE(exp.has_value());
    EXPECT_EQ(exp->text, "/dev");
    EXPECT_FALSE(reg.value(kKey, "cut").has_value());
}

TEST(RegistryFile, CommentsAreSkippedAndDoNotContinue) {
    const Registry reg = Registry::parse(kHead +
                                         "; a comment\n"
                                         "   ; an indented comment ending in a backslash \\\n"
                                         "\"a\"=dword:00000001\n"
                                         ";\"b\"=dword:00000002\n");
    EXPECT_EQ(dword_of(reg, kKey, "a"), 1u);
    EXPECT_FALSE(reg.value(kKey, "b").has_value());
}

TEST(RegistryFile, NamesCompareCaseInsensitively) {
    const Registry reg = Registry::parse(
        "REGEDIT4\n[hkey_classes_root\\Qtx_Sbcs_Finance_Printers\\printer_1\\]\n"
        "\"comport\"=dword:00000004\n");
    EXPECT_TRUE(reg.has_key(kPrinter1));
    EXPECT_TRUE(reg.has_key("HKEY_CLASSES_ROOT\\QTX_SBCS_FINANCE_PRINTERS\\PRINTER_1\\"));
    EXPECT_EQ(dword_of(reg, kPrinter1, "ComPort"), 4u);
    EXPECT_EQ(dword_of(reg, kPrinter1, "COMPORT"), 4u);
}

TEST(RegistryFile, ParentKeysExist) {
    const Registry reg = Registry::parse("REGEDIT4\n[HKEY_A\\B\\C\\D]\n");
    for (const char* key :
         {"HKEY_A", "HKEY_A\\B", "HKEY_A\\B\\C", "HKEY_A\\B\\C\\", "HKEY_A\\B\\C\\D"}) {
        EXPECT_TRUE(reg.has_key(key)) << key;
    }
    for (const char* key : {"HKEY_A\\B\\C\\D\\E", "HKEY_A\\C", "", "HKEY_", "B"}) {
        EXPECT_FALSE(reg.has_key(key)) << key;
    }
}

TEST(RegistryFile, BadSectionLinesDropTheirValues) {
    const Registry reg = Registry::parse(kHead +
                                         "\"kept\"=dword:00000001\n"
                                         "[HKEY_TEST\\Broken\n"
                                         "\"lost1\"=dword:00000002\n"
                                         "[-HKEY_TEST\\Deleted]\n"
                                         "\"lost2\"=dword:00000003\n"
                                         "[]\n"
                                         "\"lost3\"=dword:00000004\n"
                                         "[HKEY_TEST\\Key] junk\n"
                                         "\"lost4\"=dword:00000005\n"
                                         "garbage line\n"
                                         "[HKEY_TEST\\Other] ; fine\n"
                                         "\"other\"=dword:00000006\n");
    EXPECT_EQ(dword_of(reg, kKey, "kept"), 1u);
    for (const char* name : {"lost1", "lost2", "lost3", "lost4"}) {
        EXPECT_FALSE(reg.value(kKey, name).has_value()) << name;
    }
    EXPECT_FALSE(reg.has_key("HKEY_TEST\\Broken"));
    EXPECT_FALSE(reg.has_key("HKEY_TEST\\Deleted"));
    EXPECT_FALSE(reg.has_key("-HKEY_TEST\\Deleted"));
    EXPECT_EQ(dword_of(reg, "HKEY_TEST\\Other", "other"), 6u);
}

TEST(RegistryFile, ValuesBeforeAnyKeyAreDropped) {
    const Registry reg = Registry::parse("REGEDIT4\n\"v\"=dword:00000001\n@=\"x\"\n");
    EXPECT_FALSE(reg.value("", "v").has_value());
    EXPECT_FALSE(reg.value("", "").has_value());
}

TEST(RegistryFile, LaterDefinitionWinsAndSectionsMerge) {
    const Registry reg = Registry::parse(kHead +
                                         "\"v\"=dword:00000001\n"
                                         "\"w\"=\"first\"\n"
                                         "[HKEY_TEST\\Other]\n"
                                         "\"v\"=dword:00000009\n"
                                         "[hkey_test\\key]\n"
                                         "\"V\"=dword:00000002\n");
    EXPECT_EQ(dword_of(reg, kKey, "v"), 2u);
    EXPECT_EQ(text_of(reg, kKey, "w"), "first");
    EXPECT_EQ(dword_of(reg, "HKEY_TEST\\Other", "v"), 9u);
}

// A wrong type is told apart from a missing value.
TEST(RegistryFile, WrongTypeIsNotMissing) {
    const Registry reg = Registry::parse(kHead + "\"ComPort\"=\"3\"\n");
    const auto v = reg.value(kKey, "ComPort");
    ASSERT_TRUE(v.has_value());
    EXPECT_EQ(v->type, RegType::String);
    EXPECT_FALSE(reg.value(kKey, "BaudRate").has_value());
}

// ---------------------------------------------------------------------------------------
// load() and com_device() read $PRT_CONFIG_DIR/registry.reg.

class RegistryDir : public ::testing::Test {
  protected:
    void SetUp() override {
        char tmpl[] = "/tmp/prt-registry-test-XXXXXX";
        ASSERT_NE(::mkdtemp(tmpl), nullptr);
        dir_ = tmpl;
        ::setenv("PRT_CONFIG_DIR", dir_.c_str(), 1);
    }
    void TearDown() override {
        ::unsetenv("PRT_CONFIG_DIR");
        std::filesystem::remove_all(dir_);
    }
    void write(const std::string& text) {
        std::ofstream(dir_ + "/registry.reg", std::ios::binary) << text;
    }
    std::string dir_;
};

TEST_F(RegistryDir, MissingFileIsEmpty) {
    const Registry reg = Registry::load();
    EXPECT_FALSE(reg.has_key(kPrinters));
    EXPECT_EQ(com_device(1), "/dev/ttyS0");
    EXPECT_EQ(com_device(4), "/dev/ttyS3");
}

TEST_F(RegistryDir, UnreadableFileIsEmpty) {
    // A directory where the file should be: opening succeeds, reading fails.
    std::filesystem::create_directory(dir_ + "/registry.reg");
    EXPECT_FALSE(Registry::load().has_key(kPrinters));
    EXPECT_EQ(com_device(3), "/dev/ttyS2");
}

TEST_F(RegistryDir, LoadReadsTheFileAgainEachTime) {
    write(kPlatformExample);
    expect_platform_example(Registry::load());
    write("REGEDIT4\n[HKEY_CLASSES_ROOT\\QTX_SBCS_FINANCE_PRINTERS]\n\"CTS_Line\"=dword:2\n");
    const Registry reg = Registry::load();
    EXPECT_EQ(dword_of(reg, kPrinters, "CTS_Line"), 2u);
    EXPECT_FALSE(reg.has_key(kPrinter1));
}

TEST_F(RegistryDir, ComDevice) {
    write(std::string(kPlatformExample) +
          "\"com5\"=\"/dev/ttyUSB0\"\n"  // names compare case-insensitively
          "\"COM6\"=dword:00000001\n"    // wrong type: the default device
          "\"COM7\"=\"\"\n");            // empty: the default device
    EXPECT_EQ(com_device(3), "/dev/serial/by-id/usb-FTDI_FT232R-if00-port0");
    EXPECT_EQ(com_device(4), "rfc2217://10.1.2.3:4001");
    EXPECT_EQ(com_device(5), "/dev/ttyUSB0");
    EXPECT_EQ(com_device(6), "/dev/ttyS5");
    EXPECT_EQ(com_device(7), "/dev/ttyS6");
    EXPECT_EQ(com_device(1), "/dev/ttyS0");
    EXPECT_EQ(com_device(256), "/dev/ttyS255");
    EXPECT_EQ(com_device(0), "");
}

// ---------------------------------------------------------------------------------------
// Robustness: no input may crash the parser or make it read past its input (ASan builds
// check the latter). Cuts and garbage never disturb what came before them.

TEST(RegistryRobustness, EveryPrefixKeepsTheLinesBeforeTheCut) {
    const std::string full =
        crlf(kPlatformExample) + "\"bin\"=hex:01,02,\\\r\n  03\r\n\"exp\"=hex(2):41,00,00,00\r\n";
    for (const std::string& file : {full, utf16le(full)}) {
        for (size_t cut = 0; cut <= file.size(); ++cut) {
            const Registry reg = Registry::parse(std::string_view(file).substr(0, cut));
            const bool utf16 = file[0] == '\xFF';
            const size_t text_cut = utf16 ? (cut >= 2 ? (cut - 2) / 2 : 0) : cut;
            // Every value whose line and the line break after it lie before the cut.
            auto line_done = [&](std::string_view line) {
                const size_t at = full.find(line);
                return at + line.size() + 2 <= text_cut;
            };
            if (line_done("\"ComPort\"=dword:00000003")) {
                EXPECT_EQ(dword_of(reg, kPrinter1, "ComPort"), 3u) << cut;
            }
            if (line_done("\"COM4\"=\"rfc2217://10.1.2.3:4001\"")) {
                EXPECT_EQ(text_of(reg, kPorts, "COM4"), "rfc2217://10.1.2.3:4001") << cut;
            }
            // A value cut short is either missing or a shorter reading, never garbage.
            const auto baud = reg.value(kPrinter1, "BaudRate");
            if (baud) {
                const uint32_t readings[] = {0, 0x4, 0x4B, 0x4B0, 0x4B00};
                EXPECT_NE(std::find(std::begin(readings), std::end(readings), baud->dword),
                          std::end(readings))
                    << cut;
            }
            const auto bin = reg.value(kPorts, "bin");
            if (bin) {
                ASSERT_LE(bin->bytes.size(), 3u);
                // The last item may be cut after its first digit ("0" of "03").
                for (size_t i = 0; i < bin->bytes.size(); ++i) {
                    const bool last = i + 1 == bin->bytes.size();
                    EXPECT_TRUE(bin->bytes[i] == i + 1 || (last && bin->bytes[i] == 0)) << cut;
                }
            }
        }
    }
}

TEST(RegistryRobustness, RandomInputAfterValidLines) {
    std::mt19937 rng(20261211);
    const std::string alphabet =
        "[]\"\\=@;:,()-\r\n\t hexdword(2)(7)(b)0123456789abcdefHKEY_\xFF\xFE";
    const std::string planted = kHead + "\"planted_value_name\"=dword:0000abcd\r\n";
    for (int round = 0; round < 3000; ++round) {
        std::string tail(rng() % 300, '\0');
        for (char& c : tail) {
            c = (rng() % 4 == 0) ? static_cast<char>(rng() & 0xFF)
                                 : alphabet[rng() % alphabet.size()];
        }
        const bool utf16 = round % 3 == 0;
        const std::string file = utf16 ? utf16le(planted) + tail : planted + tail;
        const Registry reg = Registry::parse(file);
        EXPECT_EQ(dword_of(reg, kKey, "planted_value_name"), 0xABCDu) << round;
        // Garbage alone, with and without a byte-order mark, must not crash either.
        const Registry junk = Registry::parse(tail);
        EXPECT_FALSE(junk.value(kKey, "planted_value_name").has_value());
        (void)Registry::parse("\xFF\xFE" + tail).has_key(kKey);
    }
}

}  // namespace
}  // namespace prt::plat
