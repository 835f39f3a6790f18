// Compiled regular expressions of the reply parsers, and the conversion of the number
// text they capture.
//
// Every pattern is compiled once per process (its owner keeps it in a function-local
// static) and only read afterwards; RE2 allows concurrent searches on one object.
// Searches are leftmost-first, as in Perl.
#pragma once

#include <re2/re2.h>

#include <array>
#include <cstddef>
#include <memory>
#include <optional>
#include <string_view>

namespace vantorix::grbl {

// A pattern over UTF-8 text. RE2's `\d` is ASCII-only, so a decimal digit of any script
// is written `\p{Nd}`: such a digit then matches, and the number conversion afterwards
// is what rejects it.
//
// Device text is nearly always pure ASCII, and there `\p{Nd}` and RE2's `\d` match the
// same characters. So the pattern is compiled a second time with `\d` in place of every
// `\p{Nd}`, and that form serves ASCII input: the huge Unicode class keeps RE2 off its
// one-pass engine, which makes the ASCII form several times faster.
class TextPattern {
  public:
    explicit TextPattern(const char* pattern);

    // The compiled form that matches exactly like the pattern as written on `text`.
    const re2::RE2& for_text(std::string_view text) const;

  private:
    std::unique_ptr<const re2::RE2> unicode_;
    std::unique_ptr<const re2::RE2> ascii_;
};

std::unique_ptr<const TextPattern> compile_text_pattern(const char* pattern);
// A pattern over raw bytes in Latin-1 mode: every byte is one character, nothing is
// decoded, and case folding cannot map a non-ASCII byte onto an ASCII letter.
std::unique_ptr<const re2::RE2> compile_bytes_pattern(const char* pattern);

// Capture groups 1..N of one search; an entry is empty when its group took no part in
// the match.
template <std::size_t N>
using Captures = std::array<std::optional<std::string_view>, N>;

namespace detail {

template <std::size_t N>
void fill_captures(const std::array<re2::StringPiece, N + 1>& pieces, Captures<N>& captures) {
    for (std::size_t i = 0; i < N; ++i) {
        const re2::StringPiece& piece = pieces[i + 1];
        captures[i] = piece.data() == nullptr ? std::nullopt
                                              : std::optional<std::string_view>(
                                                    std::in_place, piece.data(), piece.size());
    }
}

}  // namespace detail

// Searches anywhere in `text` and fills `captures` on a match.
template <std::size_t N>
bool search(const re2::RE2& pattern, std::string_view text, Captures<N>& captures) {
    std::array<re2::StringPiece, N + 1> pieces;
    if (!pattern.Match(text, 0, text.size(), re2::RE2::UNANCHORED, pieces.data(),
                       static_cast<int>(pieces.size()))) {
        return false;
    }
    detail::fill_captures<N>(pieces, captures);
    return true;
}

template <std::size_t N>
bool search(const TextPattern& pattern, std::string_view text, Captures<N>& captures) {
    return search(pattern.for_text(text), text, captures);
}

inline bool search(const re2::RE2& pattern, std::string_view text) {
    return pattern.Match(text, 0, text.size(), re2::RE2::UNANCHORED, nullptr, 0);
}

inline bool search(const TextPattern& pattern, std::string_view text) {
    return search(pattern.for_text(text), text);
}

// The same result as `search`, for a text in which no match can start before `anchor`
// (the caller knows what the text holds up to there). The match starting at `anchor`
// is tried first as an anchored match, which RE2 runs on its one-pass engine; the
// leftmost-first choice among matches with the same start is unchanged. Only when
// there is none does the search go on from the next position.
template <std::size_t N>
bool search_from(const TextPattern& text_pattern, std::string_view text, std::size_t anchor,
                 Captures<N>& captures) {
    const re2::RE2& pattern = text_pattern.for_text(text);
    std::array<re2::StringPiece, N + 1> pieces;
    const int count = static_cast<int>(pieces.size());
    bool found =
        anchor <= text.size() &&
        (pattern.Match(text, anchor, text.size(), re2::RE2::ANCHOR_START, pieces.data(), count) ||
         (anchor < text.size() && pattern.Match(text, anchor + 1, text.size(), re2::RE2::UNANCHORED,
                                                pieces.data(), count)));
    if (!found) return false;
    detail::fill_captures<N>(pieces, captures);
    return true;
}

// Converts captured number text (an optional '-', ASCII digits and points) to the
// nearest double. Anything else fails, a digit outside ASCII included. A magnitude
// beyond the double range gives an infinity and one below it a zero, as any decimal to
// binary conversion does.
std::optional<double> parse_matched_f64(std::string_view text);

}  // namespace vantorix::grbl
