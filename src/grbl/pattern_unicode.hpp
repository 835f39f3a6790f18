// The Unicode classes behind Perl-style `\s`, `\w` and `\b`, for the places where the
// parsers need them outside a compiled pattern: trimming text, and word boundaries,
// which RE2 only knows in their ASCII form.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>

namespace vantorix::grbl {

struct Utf8Char {
    char32_t code_point;  // U+FFFD when not valid
    std::size_t length;   // bytes taken; for an invalid sequence its maximal valid prefix
    bool valid;
};

// Decodes the character starting at `pos` (which must be inside `bytes`).
Utf8Char decode_utf8_at(std::string_view bytes, std::size_t pos);

// The bytes as text, each invalid sequence (maximal subpart) replaced by U+FFFD.
std::string decode_utf8_lossy(std::string_view bytes);

// The White_Space property, which is what `\s` and trimming mean for Unicode text.
bool is_unicode_whitespace(char32_t code_point);
// Unicode `\w`: letters, marks, decimal digits, connector punctuation, joiners.
bool is_unicode_word_char(char32_t code_point);

// `text` without leading and trailing Unicode whitespace.
std::string_view trim_unicode_whitespace(std::string_view text);

// Whether the character that ends at / starts at `pos` is a word character. Outside
// the bytes, or on bytes that are not valid UTF-8, the answer is no.
bool word_char_before(std::string_view bytes, std::size_t pos);
bool word_char_at(std::string_view bytes, std::size_t pos);

}  // namespace vantorix::grbl
