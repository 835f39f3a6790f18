// What the fuzz targets share: an invariant check that stops the run with a message
// libFuzzer reports as a crash, and small helpers to read the input.
#pragma once

#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <string_view>
#include <vector>

#include "grbl/pattern_unicode.hpp"

#define FUZZ_CHECK(condition)                                                             \
    do {                                                                                  \
        if (!(condition)) {                                                               \
            std::fprintf(stderr, "invariant violated at %s:%d: %s\n", __FILE__, __LINE__, \
                         #condition);                                                     \
            std::abort();                                                                 \
        }                                                                                 \
    } while (false)

namespace vantorix::fuzz {

inline bool is_valid_utf8(std::string_view bytes) {
    for (std::size_t i = 0; i < bytes.size();) {
        grbl::Utf8Char c = grbl::decode_utf8_at(bytes, i);
        if (!c.valid) return false;
        i += c.length;
    }
    return true;
}

inline std::size_t code_points(std::string_view text) {
    std::size_t count = 0;
    for (std::size_t i = 0; i < text.size(); ++count) {
        i += grbl::decode_utf8_at(text, i).length;
    }
    return count;
}

// The input's lines, split at every line feed.
inline std::vector<std::string> split_lines(std::string_view text) {
    std::vector<std::string> lines;
    std::size_t start = 0;
    for (std::size_t at; (at = text.find('\n', start)) != std::string_view::npos; start = at + 1) {
        lines.emplace_back(text.substr(start, at - start));
    }
    lines.emplace_back(text.substr(start));
    return lines;
}

inline bool is_finite(double value) {
    return std::isfinite(value);
}

}  // namespace vantorix::fuzz
