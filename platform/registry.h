// Read-only registry, kept as a registry-editor export (.reg text) in
// $PRT_CONFIG_DIR/registry.reg and read again at every load().
//
// Accepted: "Windows Registry Editor Version 5.00" and "REGEDIT4" headers, UTF-8 or
// UTF-16LE with byte-order mark, "\" continuations, ";" comments, dword:, "string",
// hex:, hex(N): values. A malformed line is skipped; values after a malformed or [-KEY]
// section line are dropped, and "Name"=- defines nothing. Key and value names compare
// case-insensitively for ASCII letters. A missing or unreadable file, or one whose first
// non-blank line is not a header, is an empty registry. A value given twice: the last wins.
// `hex_kind` holds the Windows type number of every value (1 for "text", 4 for dword:).
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace prt::plat {

enum class RegType : uint32_t {
    String = 1,        // "text"
    ExpandString = 2,  // hex(2):
    Binary = 3,        // hex:
    Dword = 4,         // dword:
    MultiString = 7,   // hex(7):
    Qword = 11,        // hex(b):
    Other = 0xFFFF,    // any other hex(N):; `hex_kind` keeps N
};

struct RegValue {
    RegType type = RegType::Other;
    uint32_t hex_kind = 0;
    uint32_t dword = 0;          // Dword
    std::string text;            // String, ExpandString (decoded to UTF-8)
    std::vector<uint8_t> bytes;  // raw bytes of every hex form
};

class Registry {
  public:
    static Registry load();                        // $PRT_CONFIG_DIR/registry.reg
    static Registry parse(std::string_view file);  // the file's bytes

    // `key` is a full path such as "HKEY_CLASSES_ROOT\\QTX_SBCS_FINANCE_PRINTERS".
    bool has_key(std::string_view key) const;
    std::optional<RegValue> value(std::string_view key, std::string_view name) const;

  private:
    struct Entry {
        std::string key_lower;
        std::string name_lower;
        RegValue value;
    };
    std::vector<std::string> keys_lower_;
    std::vector<Entry> entries_;
};

// The device behind COM<n>: the "COM<n>" string of HKLM\SOFTWARE\prtlink\Ports, else
// /dev/ttyS<n-1>. Empty for n = 0. Reads the registry file at every call.
std::string com_device(unsigned n);

}  // namespace prt::plat
