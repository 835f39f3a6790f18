#include "grbl/pattern_unicode.hpp"

#include <optional>

#include "grbl/pattern.hpp"

namespace vantorix::grbl {
namespace {

constexpr char32_t REPLACEMENT = 0xFFFD;

bool in_range(unsigned char byte, unsigned char low, unsigned char high) {
    return byte >= low && byte <= high;
}

void append_utf8(std::string& out, char32_t cp) {
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

}  // namespace

namespace {

struct CharBefore {
    std::size_t start;
    char32_t code_point;
};

// The valid character that ends exactly at `end` and starts at or after `floor`.
std::optional<CharBefore> valid_char_before(std::string_view bytes, std::size_t end,
                                            std::size_t floor) {
    if (end <= floor) return std::nullopt;
    // A character has at most three continuation bytes after its lead byte.
    std::size_t start = end - 1;
    while (start > floor && end - start < 4 &&
           (static_cast<unsigned char>(bytes[start]) & 0xC0) == 0x80) {
        --start;
    }
    Utf8Char c = decode_utf8_at(bytes, start);
    if (!c.valid || start + c.length != end) return std::nullopt;
    return CharBefore{start, c.code_point};
}

}  // namespace

Utf8Char decode_utf8_at(std::string_view bytes, std::size_t pos) {
    auto byte = [&](std::size_t i) { return static_cast<unsigned char>(bytes[i]); };
    unsigned char lead = byte(pos);
    if (lead < 0x80) return {lead, 1, true};

    // Well-formed sequences (Unicode table 3-7): the lead byte fixes the length and the
    // allowed range of the second byte; later bytes are plain continuation bytes.
    std::size_t length;
    unsigned char second_low = 0x80, second_high = 0xBF;
    char32_t cp;
    if (in_range(lead, 0xC2, 0xDF)) {
        length = 2;
        cp = lead & 0x1F;
    } else if (in_range(lead, 0xE0, 0xEF)) {
        length = 3;
        cp = lead & 0x0F;
        if (lead == 0xE0) second_low = 0xA0;
        if (lead == 0xED) second_high = 0x9F;
    } else if (in_range(lead, 0xF0, 0xF4)) {
        length = 4;
        cp = lead & 0x07;
        if (lead == 0xF0) second_low = 0x90;
        if (lead == 0xF4) second_high = 0x8F;
    } else {
        return {REPLACEMENT, 1, false};
    }
    for (std::size_t i = 1; i < length; ++i) {
        bool ok =
            pos + i < bytes.size() && (i == 1 ? in_range(byte(pos + i), second_low, second_high)
                                              : in_range(byte(pos + i), 0x80, 0xBF));
        if (!ok) return {REPLACEMENT, i, false};
        cp = (cp << 6) | (byte(pos + i) & 0x3F);
    }
    return {cp, length, true};
}

std::string decode_utf8_lossy(std::string_view bytes) {
    std::string text;
    text.reserve(bytes.size());
    for (std::size_t pos = 0; pos < bytes.size();) {
        Utf8Char c = decode_utf8_at(bytes, pos);
        if (c.valid) {
            text.append(bytes.substr(pos, c.length));
        } else {
            append_utf8(text, REPLACEMENT);
        }
        pos += c.length;
    }
    return text;
}

bool is_unicode_whitespace(char32_t cp) {
    struct Range {
        char32_t first, last;
    };
    static constexpr Range WHITE_SPACE[] = {
        {0x09, 0x0D},     {0x20, 0x20},     {0x85, 0x85},     {0xA0, 0xA0},     {0x1680, 0x1680},
        {0x2000, 0x200A}, {0x2028, 0x2029}, {0x202F, 0x202F}, {0x205F, 0x205F}, {0x3000, 0x3000},
    };
    for (const Range& range : WHITE_SPACE) {
        if (cp >= range.first && cp <= range.last) return true;
    }
    return false;
}

bool is_unicode_word_char(char32_t cp) {
    if (cp < 0x80) {
        return (cp >= 'a' && cp <= 'z') || (cp >= 'A' && cp <= 'Z') || (cp >= '0' && cp <= '9') ||
               cp == '_';
    }
    // Alphabetic is the letters, letter numbers and the Other_Alphabetic marks and
    // symbols (the circled and squared Latin letters); the marks are in \p{M} anyway.
    static const auto UNICODE_WORD_RE =
        compile_text_pattern(R"(^[\p{L}\p{Nl}\p{M}\p{Nd}\p{Pc}\x{200C}\x{200D}\x{24B6}-\x{24E9})"
                             R"(\x{1F130}-\x{1F149}\x{1F150}-\x{1F169}\x{1F170}-\x{1F189}])");
    std::string utf8;
    append_utf8(utf8, cp);
    return search(*UNICODE_WORD_RE, utf8);
}

std::string_view trim_unicode_whitespace(std::string_view text) {
    std::size_t begin = 0;
    while (begin < text.size()) {
        Utf8Char c = decode_utf8_at(text, begin);
        if (!c.valid || !is_unicode_whitespace(c.code_point)) break;
        begin += c.length;
    }
    std::size_t end = text.size();
    while (auto last = valid_char_before(text, end, begin)) {
        if (!is_unicode_whitespace(last->code_point)) break;
        end = last->start;
    }
    return text.substr(begin, end - begin);
}

bool word_char_at(std::string_view bytes, std::size_t pos) {
    if (pos >= bytes.size()) return false;
    Utf8Char c = decode_utf8_at(bytes, pos);
    return c.valid && is_unicode_word_char(c.code_point);
}

bool word_char_before(std::string_view bytes, std::size_t pos) {
    if (pos > bytes.size()) return false;
    auto last = valid_char_before(bytes, pos, 0);
    return last && is_unicode_word_char(last->code_point);
}

}  // namespace vantorix::grbl
