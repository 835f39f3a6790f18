#include "python/text.hpp"

#include "python/pyref.hpp"

namespace vantorix::python {
namespace {

// Decodes one code point and advances `i`; a malformed sequence yields U+FFFD.
char32_t next_code_point(std::string_view s, std::size_t& i) {
    auto byte = [&](std::size_t k) { return static_cast<unsigned char>(s[k]); };
    unsigned char c = byte(i);
    std::size_t extra = c < 0x80             ? 0
                        : (c & 0xE0) == 0xC0 ? 1
                        : (c & 0xF0) == 0xE0 ? 2
                        : (c & 0xF8) == 0xF0 ? 3
                                             : 4;
    if (extra == 0) {
        ++i;
        return c;
    }
    if (extra == 4 || i + extra >= s.size()) {
        ++i;
        return 0xFFFD;
    }
    char32_t cp = c & (0x3F >> extra);
    for (std::size_t k = 1; k <= extra; ++k) {
        if ((byte(i + k) & 0xC0) != 0x80) {
            ++i;
            return 0xFFFD;
        }
        cp = (cp << 6) | (byte(i + k) & 0x3F);
    }
    i += extra + 1;
    return cp;
}

void append_utf8(std::string& out, char32_t cp) {
    if (cp < 0x80) {
        out.push_back(static_cast<char>(cp));
    } else if (cp < 0x800) {
        out.push_back(static_cast<char>(0xC0 | (cp >> 6)));
        out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
    } else if (cp < 0x10000) {
        out.push_back(static_cast<char>(0xE0 | (cp >> 12)));
        out.push_back(static_cast<char>(0x80 | ((cp >> 6) & 0x3F)));
        out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
    } else {
        out.push_back(static_cast<char>(0xF0 | (cp >> 18)));
        out.push_back(static_cast<char>(0x80 | ((cp >> 12) & 0x3F)));
        out.push_back(static_cast<char>(0x80 | ((cp >> 6) & 0x3F)));
        out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
    }
}

}  // namespace

void append_quoted_literal(std::string& out, std::string_view utf8) {
    static constexpr char HEX[] = "0123456789abcdef";
    out.push_back('"');
    std::size_t i = 0;
    while (i < utf8.size()) {
        char32_t cp = next_code_point(utf8, i);
        switch (cp) {
            case '\\':
                out += "\\\\";
                continue;
            case '"':
                out += "\\\"";
                continue;
            case '\t':
                out += "\\t";
                continue;
            case '\r':
                out += "\\r";
                continue;
            case '\n':
                out += "\\n";
                continue;
            case 0:
                out += "\\0";
                continue;
            default:
                break;
        }
        if (Py_UNICODE_ISPRINTABLE(static_cast<Py_UCS4>(cp))) {
            append_utf8(out, cp);
            continue;
        }
        std::string digits;
        for (char32_t v = cp; v != 0 || digits.empty(); v >>= 4)
            digits.insert(digits.begin(), HEX[v & 0xF]);
        out += "\\u{" + digits + "}";
    }
    out.push_back('"');
}

}  // namespace vantorix::python
