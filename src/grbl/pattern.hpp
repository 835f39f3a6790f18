// Compiled regular expressions of the reply parsers, and the conversion of the number
// text they capture.
//
// Every pattern is compiled once per process (its owner keeps it in a function-local
// static) and only read afterwards; RE2 allows concurrent searches on one object.
// Searches are leftmost-first and unanchored, as in Perl.
#pragma once

#include <re2/re2.h>

#include <array>
#include <cstddef>
#include <memory>
#include <optional>
#include <string_view>

namespace vantorix::grbl {

// A pattern over text in UTF-8 mode. RE2's `\d` is ASCII-only, so a decimal digit of
// any script is written `\p{Nd}`: such a digit then matches, and the number conversion
// afterwards is what rejects it.
std::unique_ptr<const re2::RE2> compile_text_pattern(const char* pattern);
// A pattern over raw bytes in Latin-1 mode: every byte is one character, nothing is
// decoded, and case folding cannot map a non-ASCII byte onto an ASCII letter.
std::unique_ptr<const re2::RE2> compile_bytes_pattern(const char* pattern);

// Capture groups 1..N of one search; an entry is empty when its group took no part in
// the match.
template <std::size_t N>
using Captures = std::array<std::optional<std::string_view>, N>;

// Searches `pattern` anywhere in `text` and fills `captures` on a match.
template <std::size_t N>
bool search(const re2::RE2& pattern, std::string_view text, Captures<N>& captures) {
    std::array<re2::StringPiece, N + 1> pieces;
    if (!pattern.Match(text, 0, text.size(), re2::RE2::UNANCHORED, pieces.data(),
                       static_cast<int>(pieces.size()))) {
        return false;
    }
    for (std::size_t i = 0; i < N; ++i) {
        const re2::StringPiece& piece = pieces[i + 1];
        captures[i] = piece.data() == nullptr ? std::nullopt
                                              : std::optional<std::string_view>(
                                                    std::in_place, piece.data(), piece.size());
    }
    return true;
}

inline bool search(const re2::RE2& pattern, std::string_view text) {
    return pattern.Match(text, 0, text.size(), re2::RE2::UNANCHORED, nullptr, 0);
}

// Converts captured number text (an optional '-', ASCII digits and points) to the
// nearest double. Anything else fails, a digit outside ASCII included. A magnitude
// beyond the double range gives an infinity and one below it a zero, as any decimal to
// binary conversion does.
std::optional<double> parse_matched_f64(std::string_view text);

}  // namespace vantorix::grbl
