#include "log/filter.hpp"

#include <re2/re2.h>
#include <algorithm>

namespace vantorix::log {
namespace {

std::string_view trim(std::string_view text) {
    constexpr std::string_view SPACE = " \t\n\r\f\v";
    std::size_t begin = text.find_first_not_of(SPACE);
    if (begin == std::string_view::npos) return {};
    std::size_t end = text.find_last_not_of(SPACE);
    return text.substr(begin, end - begin + 1);
}

std::vector<std::string_view> split(std::string_view text, char sep) {
    std::vector<std::string_view> parts;
    std::size_t start = 0;
    while (true) {
        std::size_t at = text.find(sep, start);
        if (at == std::string_view::npos) {
            parts.push_back(text.substr(start));
            return parts;
        }
        parts.push_back(text.substr(start, at - start));
        start = at + 1;
    }
}

std::size_t prefix_length(const Directive& d) {
    return d.target ? d.target->size() : 0;
}

}  // namespace

struct FilterParser {
    ParsedFilter result;

    void add(std::optional<std::string> target, Level level) {
        auto& dirs = result.filter.directives_;
        auto same = std::find_if(dirs.begin(), dirs.end(),
                                 [&](const Directive& d) { return d.target == target; });
        if (same != dirs.end()) {
            same->level = level;
        } else {
            dirs.push_back(Directive{std::move(target), level});
        }
    }

    void directive(std::string_view piece) {
        std::vector<std::string_view> parts = split(piece, '=');
        if (parts.size() > 2) {
            result.errors.push_back("invalid logging spec '" + std::string(piece) + "'");
            return;
        }
        if (parts.size() == 1) {
            if (auto level = parse_level(piece)) {
                add(std::nullopt, *level);
            } else {
                add(std::string(piece), Level::TRACE);
            }
            return;
        }
        std::string_view level_text = parts[1];
        if (level_text.empty()) {
            add(std::string(parts[0]), Level::TRACE);
        } else if (auto level = parse_level(level_text)) {
            add(std::string(parts[0]), *level);
        } else {
            result.errors.push_back("invalid logging spec '" + std::string(level_text) + "'");
        }
    }

    void expression(std::string_view text) {
        RE2::Options options;
        options.set_log_errors(false);
        auto compiled =
            std::make_shared<const RE2>(re2::StringPiece(text.data(), text.size()), options);
        if (!compiled->ok()) {
            result.errors.push_back("invalid regex filter - " + compiled->error());
            return;
        }
        result.filter.expression_ = std::move(compiled);
    }

    ParsedFilter parse(std::string_view text) {
        std::vector<std::string_view> halves = split(text, '/');
        if (halves.size() > 2) {
            result.errors.push_back("invalid logging spec '" + std::string(text) +
                                    "' (too many '/'s)");
        } else {
            for (std::string_view piece : split(halves[0], ',')) {
                piece = trim(piece);
                if (!piece.empty()) directive(piece);
            }
            if (halves.size() == 2) expression(halves[1]);
        }
        auto& dirs = result.filter.directives_;
        if (dirs.empty()) dirs.push_back(Directive{std::nullopt, Level::ERROR});
        std::stable_sort(dirs.begin(), dirs.end(), [](const Directive& a, const Directive& b) {
            return prefix_length(a) < prefix_length(b);
        });
        return std::move(result);
    }
};

std::optional<Level> parse_level(std::string_view text) {
    static constexpr std::string_view NAMES[] = {"off", "error", "warn", "info", "debug", "trace"};
    for (std::size_t i = 0; i < std::size(NAMES); ++i) {
        std::string_view name = NAMES[i];
        if (text.size() == name.size() &&
            std::equal(text.begin(), text.end(), name.begin(), [](char a, char b) {
                return (a >= 'A' && a <= 'Z' ? static_cast<char>(a - 'A' + 'a') : a) == b;
            })) {
            return static_cast<Level>(i);
        }
    }
    return std::nullopt;
}

ParsedFilter parse_filter(std::string_view text) {
    return FilterParser{}.parse(text);
}

bool Filter::allows(Level level, std::string_view target) const {
    for (auto it = directives_.rbegin(); it != directives_.rend(); ++it) {
        if (!it->target || target.starts_with(*it->target)) return level <= it->level;
    }
    return false;
}

bool Filter::matches(std::string_view message) const {
    if (!expression_) return true;
    return RE2::PartialMatch(re2::StringPiece(message.data(), message.size()), *expression_);
}

Level Filter::max_level() const {
    Level most = Level::OFF;
    for (const Directive& d : directives_) most = std::max(most, d.level);
    return most;
}

}  // namespace vantorix::log
