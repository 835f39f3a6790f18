// The env-style log filter: "target=level,level/regex". Parsing never fails as a whole;
// every malformed part is reported in `errors` and skipped.
#pragma once

#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "log/facade.hpp"

namespace re2 {
class RE2;
}

namespace vantorix::log {

struct Directive {
    std::optional<std::string> target;  // absent: every target
    Level level;
};

class Filter {
  public:
    // Levels and target prefixes only: the longest matching prefix decides, and a
    // record that no directive matches is refused.
    bool allows(Level level, std::string_view target) const;
    // True when there is no expression, or it matches somewhere in the message.
    bool matches(std::string_view message) const;
    // The most verbose level any directive allows.
    Level max_level() const;
    const std::vector<Directive>& directives() const { return directives_; }
    bool has_expression() const { return expression_ != nullptr; }

  private:
    friend struct FilterParser;
    std::vector<Directive> directives_;  // sorted by ascending prefix length
    std::shared_ptr<const re2::RE2> expression_;
};

struct ParsedFilter {
    Filter filter;
    std::vector<std::string> errors;
};

ParsedFilter parse_filter(std::string_view text);

// "off", "error", "warn", "info", "debug", "trace" in any letter case.
std::optional<Level> parse_level(std::string_view text);

}  // namespace vantorix::log
