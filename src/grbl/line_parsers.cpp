#include "grbl/line_parsers.hpp"

#include <cmath>
#include <limits>
#include <vector>

#include "grbl/numbers.hpp"
#include "grbl/pattern.hpp"
#include "grbl/pattern_unicode.hpp"

namespace vantorix::grbl {
namespace {

constexpr std::string_view VER_PREFIX = "[VER:";
constexpr std::string_view MSG_PREFIX = "[MSG:";
constexpr std::size_t BANNER_MAX_CHARS = 80;

const TextPattern& opt_pattern() {
    static const auto GRBL_OPT_RE = compile_text_pattern(R"(\[OPT:([A-Z]+),(\p{Nd}+),(\p{Nd}+)\])");
    return *GRBL_OPT_RE;
}

char ascii_lower(char c) {
    return (c >= 'A' && c <= 'Z') ? static_cast<char>(c + 32) : c;
}

std::string ascii_lowercase(std::string_view text) {
    std::string lower(text);
    for (char& c : lower) c = ascii_lower(c);
    return lower;
}

std::string_view without_trailing(std::string_view text, std::string_view characters) {
    std::size_t end = text.find_last_not_of(characters);
    return end == std::string_view::npos ? std::string_view{} : text.substr(0, end + 1);
}

// Lines as `str.lines()` splits them: at '\n', dropping a '\r' right before it; a final
// line break does not start another line.
std::vector<std::string> split_lines(std::string_view text) {
    std::vector<std::string> lines;
    while (!text.empty()) {
        std::size_t newline = text.find('\n');
        std::string_view line = text.substr(0, newline);
        if (newline != std::string_view::npos && line.ends_with('\r')) line.remove_suffix(1);
        lines.emplace_back(line);
        if (newline == std::string_view::npos) break;
        text.remove_prefix(newline + 1);
    }
    return lines;
}

std::string_view first_chars(std::string_view text, std::size_t count) {
    std::size_t pos = 0;
    for (std::size_t n = 0; n < count && pos < text.size(); ++n) {
        pos += decode_utf8_at(text, pos).length;
    }
    return text.substr(0, pos);
}

// Whether a trimmed, non-empty line says nothing about the device: a reply, a status
// report, or nothing but the line noise a controller emits around a reset or a baud
// mismatch (invalid bytes, now U+FFFD, and NULs). Noise alone must not pass for a
// banner: output such as "\xff\r\nGrbl 1.1h" has to name the Grbl line.
bool is_uninformative(std::string_view trimmed) {
    std::string_view reply = trimmed;
    constexpr std::string_view REPLACEMENT_UTF8 = "\xEF\xBF\xBD";
    while (reply.starts_with(REPLACEMENT_UTF8)) reply.remove_prefix(REPLACEMENT_UTF8.size());
    while (reply.starts_with('\0')) reply.remove_prefix(1);
    if (reply.empty() || reply == "ok" || reply.starts_with("error:")) return true;
    return trimmed.starts_with('<') && trimmed.ends_with('>');
}

bool contains_grbl_word(std::string_view data) {
    // The word alternative of the discovery pattern, (?i)\bgrbl(?:hal)?\b. RE2 knows
    // only ASCII word boundaries, and a GRBL word glued to a letter of another script
    // is no GRBL word, so the boundaries are checked on the decoded neighbours. A
    // failed boundary after "grblhal" cannot succeed after "grbl" (an 'h' follows).
    static const auto GRBL_WORD_RE = compile_bytes_pattern(R"((?i)grbl(?:hal)?)");
    re2::StringPiece match;
    for (std::size_t from = 0; from < data.size();) {
        if (!GRBL_WORD_RE->Match(data, from, data.size(), re2::RE2::UNANCHORED, &match, 1)) {
            return false;
        }
        std::size_t start = static_cast<std::size_t>(match.data() - data.data());
        std::size_t end = start + match.size();
        if (!word_char_before(data, start) && !word_char_at(data, end)) return true;
        from = start + 1;
    }
    return false;
}

}  // namespace

std::optional<VersionInfo> parse_ver(std::string_view line) {
    if (line.size() <= VER_PREFIX.size() || !line.starts_with(VER_PREFIX)) return std::nullopt;
    std::string_view text = without_trailing(line.substr(VER_PREFIX.size()), "]:");
    if (text.empty()) return std::nullopt;

    if (std::size_t comma = text.find(','); comma != std::string_view::npos) {
        return VersionInfo{std::string(text.substr(0, comma)), std::nullopt};
    }
    std::size_t first_dot = text.find('.');
    if (first_dot == std::string_view::npos) return VersionInfo{std::string(text), std::nullopt};
    std::size_t second_dot = text.find('.', first_dot + 1);
    if (second_dot == std::string_view::npos) return VersionInfo{std::string(text), std::nullopt};
    // Three or more parts: the build text is the third part alone.
    std::string_view build = text.substr(second_dot + 1);
    build = build.substr(0, build.find('.'));
    return VersionInfo{std::string(text.substr(0, second_dot)), std::string(build)};
}

std::optional<std::int64_t> parse_opt_info(std::string_view line) {
    Captures<3> groups;
    if (!search(opt_pattern(), line, groups)) return std::nullopt;
    return parse_i64(*groups[2]);
}

std::optional<std::string> parse_opt_flags(std::string_view line) {
    Captures<3> groups;
    if (!search(opt_pattern(), line, groups)) return std::nullopt;
    return std::string(*groups[0]);
}

std::optional<MessageInfo> parse_msg(std::string_view line) {
    if (!line.starts_with(MSG_PREFIX)) return std::nullopt;
    std::string_view text = without_trailing(line.substr(MSG_PREFIX.size()), "]");
    std::size_t colon = text.find(':');
    if (colon == std::string_view::npos) return std::nullopt;
    return MessageInfo{std::string(trim_unicode_whitespace(text.substr(0, colon))),
                       std::string(trim_unicode_whitespace(text.substr(colon + 1)))};
}

std::string extract_device_name(std::span<const std::string> build_info) {
    for (const std::string& line : build_info) {
        if (auto msg = parse_msg(line)) {
            std::string key = ascii_lowercase(msg->key);
            if (key == "machine" || key == "mechine") return msg->value;
        }
    }
    for (const std::string& line : build_info) {
        if (auto ver = parse_ver(line); ver && ver->build) return *ver->build;
    }
    return std::string(UNKNOWN_DEVICE_NAME);
}

std::optional<std::string> extract_device_name_from_output(std::string_view data) {
    std::vector<std::string> lines = split_lines(decode_utf8_lossy(data));
    std::string name = extract_device_name(lines);
    if (name != UNKNOWN_DEVICE_NAME) return name;
    for (const std::string& line : lines) {
        std::string_view trimmed = trim_unicode_whitespace(line);
        if (trimmed.empty() || is_uninformative(trimmed)) continue;
        return std::string(first_chars(trimmed, BANNER_MAX_CHARS));
    }
    return std::nullopt;
}

bool is_grbl_output(std::string_view data) {
    // The rest of (?i)\bgrbl(?:hal)?\b|<(?:Idle|Run|Hold|Alarm|Home)[,|>]|\[(?:VER|OPT|MSG|GC):
    // which needs no word boundaries.
    static const auto GRBL_DISCOVERY_RE =
        compile_bytes_pattern(R"((?i)<(?:Idle|Run|Hold|Alarm|Home)[,|>]|\[(?:VER|OPT|MSG|GC):)");
    return search(*GRBL_DISCOVERY_RE, data) || contains_grbl_word(data);
}

bool version_supports_single_axis_homing(double version_num, std::string_view version_letter) {
    if (version_num > 1.1) return true;
    if (std::fabs(version_num - 1.1) < std::numeric_limits<double>::epsilon() &&
        !version_letter.empty()) {
        return ascii_lowercase(version_letter) >= "g";
    }
    return false;
}

}  // namespace vantorix::grbl
