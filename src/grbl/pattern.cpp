#include "grbl/pattern.hpp"

#include <algorithm>
#include <charconv>
#include <limits>
#include <stdexcept>
#include <string>

namespace vantorix::grbl {
namespace {

std::unique_ptr<const re2::RE2> compile(const char* pattern, re2::RE2::Options::Encoding encoding) {
    re2::RE2::Options options;
    options.set_encoding(encoding);
    options.set_log_errors(false);
    auto compiled = std::make_unique<const re2::RE2>(pattern, options);
    // Our patterns are fixed text: a failure here is a programming error that every
    // test of the pattern's user reports at once.
    if (!compiled->ok()) {
        throw std::logic_error("invalid pattern " + std::string(pattern) + ": " +
                               compiled->error());
    }
    return compiled;
}

bool is_ascii(std::string_view text) {
    return std::all_of(text.begin(), text.end(),
                       [](char c) { return static_cast<unsigned char>(c) < 0x80; });
}

std::string with_ascii_digits(std::string_view pattern) {
    constexpr std::string_view UNICODE_DIGIT = R"(\p{Nd})";
    std::string out;
    out.reserve(pattern.size());
    for (std::size_t pos; (pos = pattern.find(UNICODE_DIGIT)) != std::string_view::npos;) {
        out.append(pattern.substr(0, pos)).append(R"(\d)");
        pattern.remove_prefix(pos + UNICODE_DIGIT.size());
    }
    return out.append(pattern);
}

bool has_nonzero_integer_digit(std::string_view text) {
    for (char c : text) {
        if (c == '.') return false;
        if (c >= '1' && c <= '9') return true;
    }
    return false;
}

}  // namespace

TextPattern::TextPattern(const char* pattern)
    : unicode_(compile(pattern, re2::RE2::Options::EncodingUTF8)),
      ascii_(compile(with_ascii_digits(pattern).c_str(), re2::RE2::Options::EncodingUTF8)) {}

const re2::RE2& TextPattern::for_text(std::string_view text) const {
    return is_ascii(text) ? *ascii_ : *unicode_;
}

std::unique_ptr<const TextPattern> compile_text_pattern(const char* pattern) {
    return std::make_unique<const TextPattern>(pattern);
}

std::unique_ptr<const re2::RE2> compile_bytes_pattern(const char* pattern) {
    return compile(pattern, re2::RE2::Options::EncodingLatin1);
}

std::optional<double> parse_matched_f64(std::string_view text) {
    for (char c : text) {
        if (c != '-' && c != '.' && (c < '0' || c > '9')) return std::nullopt;
    }
    double value = 0.0;
    const char* end = text.data() + text.size();
    auto [ptr, ec] = std::from_chars(text.data(), end, value, std::chars_format::fixed);
    if (ptr != end || text.empty()) return std::nullopt;
    if (ec == std::errc::result_out_of_range) {
        // Only a very long digit string gets here (the text has no exponent).
        bool negative = text.front() == '-';
        value = has_nonzero_integer_digit(text) ? std::numeric_limits<double>::infinity() : 0.0;
        return negative ? -value : value;
    }
    if (ec != std::errc{}) return std::nullopt;
    return value;
}

}  // namespace vantorix::grbl
