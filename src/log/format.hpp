// A small "{}" substitution for log messages (g++ 12 has no std::format). Each "{}"
// takes the next argument; "{{" and "}}" are literal braces; surplus placeholders
// stay as written and surplus arguments are dropped.
#pragma once

#include <concepts>
#include <string>
#include <string_view>

namespace vantorix::log {

void append_value(std::string& out, std::string_view value);
void append_value(std::string& out, long long value);
void append_value(std::string& out, unsigned long long value);
// Shortest round-trip digits in positional notation ("1", "0.5", "0.0000001").
void append_value(std::string& out, double value);
void append_value(std::string& out, bool value);
void append_value(std::string& out, char value);

inline void append_value(std::string& out, const char* value) {
    append_value(out, std::string_view(value));
}
inline void append_value(std::string& out, const std::string& value) {
    append_value(out, std::string_view(value));
}
template <std::signed_integral Int>
    requires(!std::same_as<Int, char> && !std::same_as<Int, long long>)
void append_value(std::string& out, Int value) {
    append_value(out, static_cast<long long>(value));
}
template <std::unsigned_integral Int>
    requires(!std::same_as<Int, bool> && !std::same_as<Int, unsigned long long>)
void append_value(std::string& out, Int value) {
    append_value(out, static_cast<unsigned long long>(value));
}
inline void append_value(std::string& out, float value) {
    append_value(out, static_cast<double>(value));
}

namespace detail {
// Appends the literal text of `pattern` up to the next placeholder and returns the rest
// after it; returns an empty view with `found` false when no placeholder is left.
std::string_view append_until_placeholder(std::string& out, std::string_view pattern, bool& found);
}  // namespace detail

template <typename... Args>
std::string format(std::string_view pattern, const Args&... args) {
    std::string out;
    out.reserve(pattern.size() + 16 * sizeof...(Args));
    bool found = true;
    [[maybe_unused]] auto one = [&](const auto& value) {
        if (!found) return;
        pattern = detail::append_until_placeholder(out, pattern, found);
        if (found) append_value(out, value);
    };
    (one(args), ...);
    while (found) {
        pattern = detail::append_until_placeholder(out, pattern, found);
        if (found) out += "{}";
    }
    return out;
}

}  // namespace vantorix::log
