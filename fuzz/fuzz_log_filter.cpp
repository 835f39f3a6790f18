// The log filter: arbitrary filter texts never fail as a whole, give well-formed
// directives, and directives written back as text parse to the same filter.
#include <fuzzer/FuzzedDataProvider.h>

#include <algorithm>
#include <cstdint>
#include <string>

#include "check.hpp"
#include "log/filter.hpp"

namespace {

namespace log = vantorix::log;

constexpr std::string_view TARGETS[] = {"vantorix::grbl::session", "vantorix::grbl::flow",
                                        "vantorix::python::events", "other", ""};

std::string written(const log::Filter& filter) {
    std::string text;
    for (const log::Directive& d : filter.directives()) {
        if (!text.empty()) text += ",";
        if (d.target) text += *d.target + "=";
        text += log::level_name(d.level);
    }
    return text;
}

bool same_directives(const log::Filter& a, const log::Filter& b) {
    return std::equal(a.directives().begin(), a.directives().end(), b.directives().begin(),
                      b.directives().end(), [](const log::Directive& x, const log::Directive& y) {
                          return x.target == y.target && x.level == y.level;
                      });
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    FuzzedDataProvider input(data, size);
    std::string message = input.ConsumeRandomLengthString(64);
    std::string text = input.ConsumeRemainingBytesAsString();
    log::ParsedFilter parsed = log::parse_filter(text);
    const log::Filter& filter = parsed.filter;

    for (const std::string& error : parsed.errors) {
        FUZZ_CHECK(error.starts_with("invalid logging spec '") ||
                   error.starts_with("invalid regex filter - "));
    }
    const auto& directives = filter.directives();
    FUZZ_CHECK(!directives.empty());
    for (std::size_t i = 0; i < directives.size(); ++i) {
        for (std::size_t j = i + 1; j < directives.size(); ++j) {
            FUZZ_CHECK(directives[i].target != directives[j].target);
        }
        if (i > 0) {
            FUZZ_CHECK(directives[i - 1].target.value_or("").size() <=
                       directives[i].target.value_or("").size());
        }
    }
    for (std::string_view target : TARGETS) {
        for (int level = 1; level <= 5; ++level) {
            if (filter.allows(static_cast<log::Level>(level), target)) {
                FUZZ_CHECK(static_cast<int>(filter.max_level()) >= level);
            }
        }
    }
    filter.matches(message);

    log::ParsedFilter again = log::parse_filter(written(filter));
    FUZZ_CHECK(again.errors.empty());
    FUZZ_CHECK(same_directives(again.filter, filter));
    return 0;
}
