#include "platform/registry.h"

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <string>

#include "platform/names.h"

namespace prt::plat {
namespace {

constexpr std::string_view kHeader5 = "Windows Registry Editor Version 5.00";
constexpr std::string_view kHeader4 = "REGEDIT4";
constexpr std::string_view kPortsKey = "HKEY_LOCAL_MACHINE\\SOFTWARE\\prtlink\\Ports";

// Registry names compare like Windows does for the ASCII range; other characters must
// match exactly (enough for the keys and values the stack reads).
char ascii_lower(char c) {
    return (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c;
}

std::string lower(std::string_view s) {
    std::string out(s);
    for (char& c : out) c = ascii_lower(c);
    return out;
}

bool is_space(char c) {
    return c == ' ' || c == '\t';
}

std::string_view trim(std::string_view s) {
    while (!s.empty() && is_space(s.front())) s.remove_prefix(1);
    while (!s.empty() && is_space(s.back())) s.remove_suffix(1);
    return s;
}

// "HKEY_X\\A\\B\\" and "HKEY_X\\A\\B" name the same key.
std::string key_form(std::string_view key) {
    key = trim(key);
    while (!key.empty() && key.back() == '\\') key.remove_suffix(1);
    return lower(key);
}

void append_utf8(std::string& out, uint32_t cp) {
    if (cp < 0x80) {
        out += static_cast<char>(cp);
    } else if (cp < 0x800) {
        out += static_cast<char>(0xC0 | (cp >> 6));
        out += static_cast<char>(0x80 | (cp & 0x3F));
    } else if (cp < 0x10000) {
        out += static_cast<char>(0xE0 | (cp >> 12));
        out += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
        out += static_cast<char>(0x80 | (cp & 0x3F));
    } else {
        out += static_cast<char>(0xF0 | (cp >> 18));
        out += static_cast<char>(0x80 | ((cp >> 12) & 0x3F));
        out += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
        out += static_cast<char>(0x80 | (cp & 0x3F));
    }
}

// UTF-16LE to UTF-8. An unpaired surrogate becomes U+FFFD; an odd last byte is dropped.
// With `stop_at_nul` the text ends at the first NUL, as a Windows string does.
std::string utf16le_to_utf8(const uint8_t* p, size_t n, bool stop_at_nul) {
    std::string out;
    out.reserve(n / 2);
    const size_t units = n / 2;
    for (size_t i = 0; i < units; ++i) {
        uint32_t u = p[2 * i] | (static_cast<uint32_t>(p[2 * i + 1]) << 8);
        if (u == 0 && stop_at_nul) break;
        if (u >= 0xD800 && u <= 0xDBFF && i + 1 < units) {
            const uint32_t lo = p[2 * i + 2] | (static_cast<uint32_t>(p[2 * i + 3]) << 8);
            if (lo >= 0xDC00 && lo <= 0xDFFF) {
                append_utf8(out, 0x10000 + ((u - 0xD800) << 10) + (lo - 0xDC00));
                ++i;
                continue;
            }
        }
        if (u >= 0xD800 && u <= 0xDFFF) u = 0xFFFD;
        append_utf8(out, u);
    }
    return out;
}

// The file as UTF-8 text: a UTF-16LE file (FF FE) is converted, a UTF-8 BOM is dropped.
std::string file_text(std::string_view file) {
    const auto* p = reinterpret_cast<const uint8_t*>(file.data());
    if (file.size() >= 2 && p[0] == 0xFF && p[1] == 0xFE) {
        return utf16le_to_utf8(p + 2, file.size() - 2, false);
    }
    if (file.size() >= 3 && p[0] == 0xEF && p[1] == 0xBB && p[2] == 0xBF) {
        return std::string(file.substr(3));
    }
    return std::string(file);
}

// Splits the text into logical lines: CR, LF and CRLF end a line, and a line whose last
// non-blank character is "\" continues on the next one (leading blanks of the next line
// dropped), which is how exports wrap long hex lists. Comment lines never continue.
std::vector<std::string> logical_lines(const std::string& text) {
    std::vector<std::string> lines;
    std::string current;
    bool continuing = false;
    size_t pos = 0;
    while (pos < text.size()) {
        size_t end = text.find_first_of("\r\n", pos);
        if (end == std::string::npos) end = text.size();
        std::string_view physical(text.data() + pos, end - pos);
        pos = end;
        if (pos < text.size()) {
            pos += (text[pos] == '\r' && pos + 1 < text.size() && text[pos + 1] == '\n') ? 2 : 1;
        }

        if (continuing) {
            while (!physical.empty() && is_space(physical.front())) physical.remove_prefix(1);
            current.append(physical);
        } else {
            current.assign(physical);
        }
        while (!current.empty() && is_space(current.back())) current.pop_back();
        const std::string_view head = trim(current);
        continuing = !current.empty() && current.back() == '\\' && !head.starts_with(';');
        if (continuing) {
            current.pop_back();
            continue;
        }
        lines.push_back(std::move(current));
        current.clear();
    }
    if (continuing) lines.push_back(std::move(current));
    return lines;
}

int hex_digit(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

// What may follow a value's data: blanks, then nothing or a ";" comment.
bool only_trailer(std::string_view rest) {
    rest = trim(rest);
    return rest.empty() || rest.front() == ';';
}

// Parses a quoted text at the start of `s` (which begins with '"'), undoing \" and \\.
// Any other escape is malformed. On success `s` is left after the closing quote.
bool take_quoted(std::string_view& s, std::string& out) {
    out.clear();
    size_t i = 1;
    while (i < s.size()) {
        const char c = s[i];
        if (c == '"') {
            s.remove_prefix(i + 1);
            return true;
        }
        if (c == '\\') {
            if (i + 1 >= s.size() || (s[i + 1] != '"' && s[i + 1] != '\\')) return false;
            out += s[i + 1];
            i += 2;
            continue;
        }
        out += c;
        ++i;
    }
    return false;  // no closing quote
}

// 1 to 8 hex digits, nothing else.
bool parse_hex32(std::string_view s, uint32_t& out) {
    if (s.empty() || s.size() > 8) return false;
    uint32_t v = 0;
    for (char c : s) {
        const int d = hex_digit(c);
        if (d < 0) return false;
        v = (v << 4) | static_cast<uint32_t>(d);
    }
    out = v;
    return true;
}

// "01,ab, 2f" (each item one or two hex digits); an empty list is empty data.
bool parse_hex_list(std::string_view s, std::vector<uint8_t>& out) {
    out.clear();
    const size_t semi = s.find(';');
    if (semi != std::string_view::npos) s = s.substr(0, semi);
    s = trim(s);
    if (s.empty()) return true;
    while (true) {
        const size_t comma = s.find(',');
        const std::string_view item = trim(s.substr(0, comma));
        if (item.empty() || item.size() > 2) return false;
        uint32_t v = 0;
        if (!parse_hex32(item, v)) return false;
        out.push_back(static_cast<uint8_t>(v));
        if (comma == std::string_view::npos) return true;
        s.remove_prefix(comma + 1);
    }
}

RegType type_of_hex_kind(uint32_t kind) {
    switch (kind) {
        case 2:
            return RegType::ExpandString;
        case 3:
            return RegType::Binary;
        case 7:
            return RegType::MultiString;
        case 11:
            return RegType::Qword;
        default:
            return RegType::Other;
    }
}

// The data part of a value line (after "="). False when malformed; `deleted` is set
// for "-", which removes a value on import and so defines nothing here.
bool parse_data(std::string_view s, RegValue& v, bool& deleted) {
    deleted = false;
    s = trim(s);
    if (s == "-") {
        deleted = true;
        return true;
    }
    if (!s.empty() && s.front() == '"') {
        if (!take_quoted(s, v.text) || !only_trailer(s)) return false;
        v.type = RegType::String;
        v.hex_kind = 1;
        return true;
    }
    const std::string head = lower(s.substr(0, std::min<size_t>(s.size(), 6)));
    if (head == "dword:") {
        std::string_view digits = s.substr(6);
        const size_t semi = digits.find(';');
        if (semi != std::string_view::npos) digits = digits.substr(0, semi);
        if (!parse_hex32(trim(digits), v.dword)) return false;
        v.type = RegType::Dword;
        v.hex_kind = 4;
        return true;
    }
    if (!head.starts_with("hex")) return false;
    s.remove_prefix(3);
    uint32_t kind = 3;
    if (!s.empty() && s.front() == '(') {
        const size_t close = s.find(')');
        if (close == std::string_view::npos || !parse_hex32(s.substr(1, close - 1), kind)) {
            return false;
        }
        s.remove_prefix(close + 1);
    }
    if (s.empty() || s.front() != ':') return false;
    s.remove_prefix(1);
    if (!parse_hex_list(s, v.bytes)) return false;
    v.hex_kind = kind;
    v.type = type_of_hex_kind(kind);
    if (v.type == RegType::ExpandString) {
        v.text = utf16le_to_utf8(v.bytes.data(), v.bytes.size(), true);
    }
    return true;
}

}  // namespace

Registry Registry::parse(std::string_view file) {
    Registry reg;
    const std::vector<std::string> lines = logical_lines(file_text(file));

    // The first non-blank line must be one of the two headers; regedit refuses to import
    // anything else, and so do we: such a file is an empty registry.
    size_t i = 0;
    while (i < lines.size() && trim(lines[i]).empty()) ++i;
    if (i == lines.size()) return reg;
    const std::string_view header = trim(lines[i]);
    if (header != kHeader5 && header != kHeader4) return reg;
    ++i;

    // Values belong to the last valid [KEY] line. After a malformed or [-KEY] section
    // line there is no current key, so its values are dropped rather than given to the
    // key before it.
    bool have_key = false;
    std::string key;
    for (; i < lines.size(); ++i) {
        std::string_view line = trim(lines[i]);
        if (line.empty() || line.front() == ';') continue;
        if (line.front() == '[') {
            have_key = false;
            const size_t close = line.rfind(']');
            if (close == std::string_view::npos || !only_trailer(line.substr(close + 1))) {
                continue;
            }
            const std::string_view name = line.substr(1, close - 1);
            if (name.empty() || name.front() == '-') continue;
            key = key_form(name);
            if (key.empty()) continue;
            have_key = true;
            // A key implies its parents, as in Windows.
            for (size_t p = key.find('\\'); p != std::string::npos; p = key.find('\\', p + 1)) {
                reg.keys_lower_.push_back(key.substr(0, p));
            }
            reg.keys_lower_.push_back(key);
            continue;
        }
        if (!have_key) continue;

        std::string name;
        if (line.front() == '@') {
            line.remove_prefix(1);
        } else if (line.front() == '"') {
            if (!take_quoted(line, name)) continue;
        } else {
            continue;
        }
        line = trim(line);
        if (line.empty() || line.front() != '=') continue;
        line.remove_prefix(1);

        RegValue value;
        bool deleted = false;
        if (!parse_data(line, value, deleted) || deleted) continue;
        reg.entries_.push_back(Entry{key, lower(name), std::move(value)});
    }

    std::sort(reg.keys_lower_.begin(), reg.keys_lower_.end());
    reg.keys_lower_.erase(std::unique(reg.keys_lower_.begin(), reg.keys_lower_.end()),
                          reg.keys_lower_.end());
    return reg;
}

Registry Registry::load() {
    const std::string path = config_dir() + "/registry.reg";
    const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) return Registry{};
    std::string data;
    char buf[65536];
    while (true) {
        const ssize_t n = ::read(fd, buf, sizeof buf);
        if (n > 0) {
            data.append(buf, static_cast<size_t>(n));
        } else if (n < 0 && errno == EINTR) {
            continue;
        } else if (n < 0) {
            ::close(fd);
            return Registry{};  // unreadable: every key is missing
        } else {
            break;
        }
    }
    ::close(fd);
    return parse(data);
}

bool Registry::has_key(std::string_view key) const {
    return std::binary_search(keys_lower_.begin(), keys_lower_.end(), key_form(key));
}

std::optional<RegValue> Registry::value(std::string_view key, std::string_view name) const {
    const std::string k = key_form(key);
    const std::string n = lower(name);
    // A value given twice takes the later definition, as an import would.
    for (auto it = entries_.rbegin(); it != entries_.rend(); ++it) {
        if (it->key_lower == k && it->name_lower == n) return it->value;
    }
    return std::nullopt;
}

std::string com_device(unsigned n) {
    if (n == 0) return std::string();
    const Registry reg = Registry::load();
    const auto v = reg.value(kPortsKey, "COM" + std::to_string(n));
    if (v && v->type == RegType::String && !v->text.empty()) return v->text;
    return "/dev/ttyS" + std::to_string(n - 1);
}

}  // namespace prt::plat
