#include "log/format.hpp"

#include <charconv>
#include <cmath>

namespace vantorix::log {

void append_value(std::string& out, std::string_view value) {
    out.append(value);
}

void append_value(std::string& out, long long value) {
    char buf[24];
    auto res = std::to_chars(buf, buf + sizeof buf, value);
    out.append(buf, res.ptr);
}

void append_value(std::string& out, unsigned long long value) {
    char buf[24];
    auto res = std::to_chars(buf, buf + sizeof buf, value);
    out.append(buf, res.ptr);
}

void append_value(std::string& out, double value) {
    if (std::isnan(value)) {
        out += "NaN";
        return;
    }
    if (std::isinf(value)) {
        out += value < 0 ? "-inf" : "inf";
        return;
    }
    char buf[400];
    auto res = std::to_chars(buf, buf + sizeof buf, value, std::chars_format::fixed);
    out.append(buf, res.ptr);
}

void append_value(std::string& out, bool value) {
    out += value ? "true" : "false";
}

void append_value(std::string& out, char value) {
    out.push_back(value);
}

namespace detail {

std::string_view append_until_placeholder(std::string& out, std::string_view pattern, bool& found) {
    std::size_t i = 0;
    while (i < pattern.size()) {
        char c = pattern[i];
        if (c == '{' && i + 1 < pattern.size()) {
            if (pattern[i + 1] == '{') {
                out.push_back('{');
                i += 2;
                continue;
            }
            if (pattern[i + 1] == '}') {
                found = true;
                return pattern.substr(i + 2);
            }
        } else if (c == '}' && i + 1 < pattern.size() && pattern[i + 1] == '}') {
            out.push_back('}');
            i += 2;
            continue;
        }
        out.push_back(c);
        ++i;
    }
    found = false;
    return {};
}

}  // namespace detail
}  // namespace vantorix::log
