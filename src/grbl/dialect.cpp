#include "grbl/dialect.hpp"

#include <re2/re2.h>

#include <algorithm>
#include <charconv>
#include <cmath>
#include <limits>

#include "grbl/debug_text.hpp"
#include "grbl/gcode_text.hpp"

namespace vantorix::grbl {
namespace {

constexpr int MAX_PRECISION = 65535;
// Whole values from this magnitude on are written in shortest form, like fractions.
constexpr double WHOLE_LIMIT = 1e16;

bool is_small_whole(double value) {
    return std::isfinite(value) && std::trunc(value) == value && std::fabs(value) < WHOLE_LIMIT;
}

std::string integer_text(std::int64_t value) {
    char buffer[24];
    auto result = std::to_chars(buffer, buffer + sizeof buffer, value);
    return std::string(buffer, result.ptr);
}

std::optional<std::string> non_finite_text(double value) {
    if (std::isnan(value)) return "NaN";
    if (std::isinf(value)) return value < 0 ? "-inf" : "inf";
    return std::nullopt;
}

std::string coord_text(double value) {
    if (!is_small_whole(value)) return shortest_decimal(value);
    std::string text =
        std::signbit(value) && value == 0.0 ? "-0" : integer_text(static_cast<std::int64_t>(value));
    return text + ".0";
}

std::string number_text(double value) {
    if (!is_small_whole(value)) return shortest_decimal(value);
    return integer_text(static_cast<std::int64_t>(value));
}

double as_double(const Arg& arg) {
    if (auto* coord = std::get_if<Arg::Coord>(&arg.kind)) return coord->value;
    if (auto* number = std::get_if<Arg::Number>(&arg.kind)) return number->value;
    return static_cast<double>(std::get<Arg::Int>(arg.kind).value);
}

// The precision of a ".<digits>f" or ".+<digits>f" format; -1 for any other format, and
// MAX_PRECISION + 1 for every precision above the limit.
int fixed_precision(std::string_view format) {
    if (format.size() < 3 || format.front() != '.' || format.back() != 'f') return -1;
    std::string_view digits = format.substr(1, format.size() - 2);
    if (digits.front() == '+') digits.remove_prefix(1);
    if (digits.empty()) return -1;
    int precision = 0;
    for (char c : digits) {
        if (c < '0' || c > '9') return -1;
        precision = std::min(precision * 10 + (c - '0'), MAX_PRECISION + 1);
    }
    return precision;
}

// Printable characters are letters, marks, numbers, punctuation, symbols and the ASCII
// space; everything else (controls, format characters, separators, unassigned and
// private-use code points) is escaped.
const RE2& printable_re() {
    static const RE2* const PRINTABLE_RE = new RE2(R"([\p{L}\p{M}\p{N}\p{P}\p{S}])");
    return *PRINTABLE_RE;
}

bool printable_in_template(char32_t code_point, std::string_view encoded) {
    return code_point < 0x80 ? code_point >= 0x20 && code_point < 0x7F
                             : RE2::FullMatch(encoded, printable_re());
}

// `text` as a double-quoted literal, unprintable characters escaped as \u{hex}.
std::string quoted_literal(std::string_view text) {
    std::string out;
    append_quoted_unicode(out, text, printable_in_template);
    return out;
}

// Writes one placeholder's value; an error text when the format cannot be honoured.
std::optional<std::string> write_value(std::string& out, std::string_view placeholder,
                                       std::optional<std::string_view> format, const Arg& arg) {
    if (!format) {
        out += format_arg(arg);
        return std::nullopt;
    }
    if (std::holds_alternative<Arg::Text>(arg.kind)) return std::nullopt;
    double value = as_double(arg);
    int precision = fixed_precision(*format);
    if (precision > MAX_PRECISION) {
        return "precision above " + std::to_string(MAX_PRECISION) + " in placeholder {" +
               std::string(placeholder) + "}";
    }
    out += precision < 0 ? shortest_decimal(value) : fixed_decimals(value, precision);
    return std::nullopt;
}

void replace_all(std::string& text, std::string_view from, std::string_view to) {
    for (std::size_t at = text.find(from); at != std::string::npos;
         at = text.find(from, at + to.size())) {
        text.replace(at, from.size(), to);
    }
}

}  // namespace

std::string shortest_decimal(double value) {
    if (auto text = non_finite_text(value)) return *text;
    // Scientific notation yields the shortest round-trip digits; fixed notation would
    // print the exact binary value of large numbers instead.
    char buffer[32];
    auto result =
        std::to_chars(buffer, buffer + sizeof buffer, value, std::chars_format::scientific);
    std::string_view scientific(buffer, result.ptr);
    std::size_t e = scientific.find('e');
    int exponent = 0;
    std::string_view exponent_text = scientific.substr(e + 1);
    if (exponent_text.front() == '+') exponent_text.remove_prefix(1);
    std::from_chars(exponent_text.data(), exponent_text.data() + exponent_text.size(), exponent);

    std::string text, digits;
    for (char c : scientific.substr(0, e)) {
        if (c == '-') {
            text += c;
        } else if (c != '.') {
            digits += c;
        }
    }
    // Digits before the decimal point.
    int whole = exponent + 1;
    int count = static_cast<int>(digits.size());
    if (whole <= 0) {
        text += "0.";
        text.append(static_cast<std::size_t>(-whole), '0');
        text += digits;
    } else if (whole >= count) {
        text += digits;
        text.append(static_cast<std::size_t>(whole - count), '0');
    } else {
        text.append(digits, 0, static_cast<std::size_t>(whole));
        text += '.';
        text.append(digits, static_cast<std::size_t>(whole));
    }
    return text;
}

std::string fixed_decimals(double value, int decimals) {
    if (auto text = non_finite_text(value)) return *text;
    // Up to 309 integer digits, a sign and a point, then the decimals.
    std::string text(static_cast<std::size_t>(decimals) + 320, '\0');
    auto result = std::to_chars(text.data(), text.data() + text.size(), value,
                                std::chars_format::fixed, decimals);
    text.resize(static_cast<std::size_t>(result.ptr - text.data()));
    return text;
}

std::string format_arg(const Arg& arg) {
    struct Writer {
        std::string operator()(const Arg::Coord& v) const { return coord_text(v.value); }
        std::string operator()(const Arg::Number& v) const { return number_text(v.value); }
        std::string operator()(const Arg::Int& v) const { return integer_text(v.value); }
        std::string operator()(const Arg::Text& v) const { return v.value; }
    };
    return std::visit(Writer{}, arg.kind);
}

Rendered format_template(std::string_view template_text, const std::vector<NamedArg>& args) {
    std::string out;
    out.reserve(template_text.size());
    std::string_view rest = template_text;
    for (std::size_t open = rest.find('{'); open != std::string_view::npos; open = rest.find('{')) {
        out += rest.substr(0, open);
        std::size_t close = rest.find('}', open + 1);
        if (close == std::string_view::npos) {
            return Rendered::failure("unterminated placeholder in template " +
                                     quoted_literal(template_text));
        }
        std::string_view placeholder = rest.substr(open + 1, close - open - 1);
        rest.remove_prefix(close + 1);

        std::string_view name = placeholder;
        std::optional<std::string_view> format;
        if (std::size_t colon = placeholder.find(':'); colon != std::string_view::npos) {
            name = placeholder.substr(0, colon);
            format = placeholder.substr(colon + 1);
        }
        const NamedArg* match = nullptr;
        for (const NamedArg& candidate : args) {
            if (candidate.first == name) {
                match = &candidate;
                break;
            }
        }
        if (match == nullptr) {
            return Rendered::failure("no value for placeholder {" + std::string(name) + "}");
        }
        if (auto error = write_value(out, placeholder, format, match->second)) {
            return Rendered::failure(std::move(*error));
        }
    }
    out += rest;
    return Rendered::success(std::move(out));
}

GrblDialect GrblDialect::from_map(const DialectMap& map) {
    GrblDialect dialect;
    static constexpr std::pair<std::string_view, std::string GrblDialect::*> TEMPLATES[] = {
        {"home_all", &GrblDialect::home_all},
        {"home_axis", &GrblDialect::home_axis},
        {"move_to", &GrblDialect::move_to},
        {"jog", &GrblDialect::jog},
        {"clear_alarm", &GrblDialect::clear_alarm},
        {"laser_on", &GrblDialect::laser_on},
        {"laser_off", &GrblDialect::laser_off},
        {"focus_laser_on", &GrblDialect::focus_laser_on},
        {"tool_change", &GrblDialect::tool_change},
        {"set_wcs_offset", &GrblDialect::set_wcs_offset},
        {"probe_cycle", &GrblDialect::probe_cycle},
    };
    for (const auto& [key, field] : TEMPLATES) {
        if (auto found = map.find(key); found != map.end()) dialect.*field = found->second;
    }
    if (auto found = map.find("emergency_stop"); found != map.end()) {
        dialect.emergency_stop = found->second;
    }
    return dialect;
}

Rendered GrblDialect::format_wcs_offset(std::int64_t p_num, double x, double y,
                                        std::optional<double> z) const {
    std::string command = set_wcs_offset;
    if (!z) {
        replace_all(command, " Z{z}", "");
        replace_all(command, "Z{z}", " ");
        command = std::string(trim_whitespace(command));
    }
    return format_template(command, {{"p_num", Arg::Int{p_num}},
                                     {"x", Arg::Coord{x}},
                                     {"y", Arg::Coord{y}},
                                     {"z", Arg::Coord{z.value_or(0.0)}}});
}

}  // namespace vantorix::grbl
