#include "grbl/debug_text.hpp"

#include <cstdint>

#include "grbl/pattern_unicode.hpp"

namespace vantorix::grbl {

std::string quoted(std::string_view text) {
    static constexpr char HEX[] = "0123456789abcdef";
    std::string out = "\"";
    for (char c : text) {
        switch (c) {
            case '"':
                out += "\\\"";
                break;
            case '\\':
                out += "\\\\";
                break;
            case '\t':
                out += "\\t";
                break;
            case '\r':
                out += "\\r";
                break;
            case '\n':
                out += "\\n";
                break;
            case '\0':
                out += "\\0";
                break;
            default: {
                auto byte = static_cast<std::uint8_t>(c);
                if (byte < 0x20 || byte == 0x7F) {
                    out += "\\u{";
                    if (byte >= 0x10) out += HEX[byte >> 4];
                    out += HEX[byte & 0x0F];
                    out += '}';
                } else {
                    out += c;
                }
            }
        }
    }
    out += '"';
    return out;
}

void append_quoted_unicode(std::string& out, std::string_view utf8, PrintableTest printable) {
    static constexpr char HEX[] = "0123456789abcdef";
    out.push_back('"');
    std::size_t i = 0;
    while (i < utf8.size()) {
        const Utf8Char c = decode_utf8_at(utf8, i);
        if (!c.valid) {
            out += "\uFFFD";
            ++i;
            continue;
        }
        const std::string_view encoded = utf8.substr(i, c.length);
        i += c.length;
        switch (c.code_point) {
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
        if (printable(c.code_point, encoded)) {
            out += encoded;
            continue;
        }
        std::string digits;
        for (char32_t rest = c.code_point; rest != 0 || digits.empty(); rest >>= 4) {
            digits.insert(digits.begin(), HEX[rest & 0xF]);
        }
        out += "\\u{" + digits + "}";
    }
    out.push_back('"');
}

}  // namespace vantorix::grbl
