// A dialect: the firmware-specific command templates that the host application supplies,
// with built-in GRBL defaults, and the renderer of their small placeholder language.
//
// A template is UTF-8 text in which "{name}" or "{name:format}" is replaced by the value
// given for `name`. There is no escape for braces. The only format with a meaning is
// ".<digits>f" (optionally ".+<digits>f"): that many decimals, the exact binary value
// rounded half to even. Any other format writes the value in shortest form; with a text
// value any format makes the placeholder vanish.
#pragma once

#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <variant>
#include <vector>

namespace vantorix::grbl {

// The value for one placeholder. The kind decides how it is written without a format.
struct Arg {
    // A whole finite value below 1e16 in magnitude with one decimal ("10.0", "-0.0"),
    // anything else in shortest form.
    struct Coord {
        double value;
    };
    // A whole finite value below 1e16 in magnitude as an integer ("1000", "0" for -0.0),
    // anything else in shortest form.
    struct Number {
        double value;
    };
    struct Int {
        std::int64_t value;
    };
    struct Text {
        std::string value;
    };

    // Implicit on purpose: {"x", Arg::Coord{1.5}} reads as the pair it builds.
    Arg(Coord v) : kind(v) {}
    Arg(Number v) : kind(v) {}
    Arg(Int v) : kind(v) {}
    Arg(Text v) : kind(std::move(v)) {}

    std::variant<Coord, Number, Int, Text> kind;
};

using NamedArg = std::pair<std::string_view, Arg>;

// A rendered command, or the reason its template could not be rendered.
struct Rendered {
    std::string text;
    std::optional<std::string> error;

    static Rendered success(std::string text) { return {std::move(text), std::nullopt}; }
    static Rendered failure(std::string reason) { return {{}, std::move(reason)}; }
    bool ok() const { return !error.has_value(); }
    bool operator==(const Rendered&) const = default;
};

// The shortest digits that read back as the same double, in plain positional notation
// ("0.0000001", "1" followed by 300 zeros for 1e300), "-" for negative values, "NaN",
// "inf" and "-inf" for the non-finite ones.
std::string shortest_decimal(double value);
// `value` with exactly `decimals` decimals, its exact binary value rounded to the nearest,
// ties to even.
std::string fixed_decimals(double value, int decimals);
// How a value is written into a placeholder without a format.
std::string format_arg(const Arg& arg);

// Renders `template_text`; for a name given twice the first pair wins. Errors:
// "no value for placeholder {<name>}" and "unterminated placeholder in template <the
// template as a double-quoted literal>", and a precision above 65535.
Rendered format_template(std::string_view template_text, const std::vector<NamedArg>& args);

// The text-to-text form in which a dialect arrives from the host.
using DialectMap = std::map<std::string, std::string, std::less<>>;

struct GrblDialect {
    std::string home_all = "$H";
    std::string home_axis = "$H{axis_letter}";
    std::string move_to = "$J=G90 G21 F{speed} X{x} Y{y}";
    std::string jog = "$J=G91 G21 F{speed}";
    std::string clear_alarm = "$X";
    std::string laser_on = "M4 S{power:.0f}";
    std::string laser_off = "M5";
    std::string focus_laser_on = "M3 S{power:.0f}";
    std::string tool_change = "T{tool_number}";
    std::string set_wcs_offset = "G10 L2 P{p_num} X{x} Y{y} Z{z}";
    std::string probe_cycle = "G38.2 {axis_letter}{max_travel} F{feed_rate}";
    std::vector<std::string> safety_off_commands{"M5"};
    std::optional<std::string> emergency_stop;

    // The defaults, with every template key and `emergency_stop` present in `map` taken
    // from it (an empty text included). Other keys, `safety_off_commands` among them,
    // are ignored.
    static GrblDialect from_map(const DialectMap& map);

    // The `set_wcs_offset` command. Without `z` the template's " Z{z}" (or a bare
    // "Z{z}") is dropped first. A template that does not render gives its error.
    Rendered format_wcs_offset(std::int64_t p_num, double x, double y,
                               std::optional<double> z) const;

    bool operator==(const GrblDialect&) const = default;
};

}  // namespace vantorix::grbl
