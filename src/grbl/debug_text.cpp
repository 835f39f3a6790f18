#include "grbl/debug_text.hpp"

#include <cstdint>

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

}  // namespace vantorix::grbl
