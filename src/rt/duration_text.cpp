#include "rt/duration_text.hpp"

#include <cstdint>

namespace vantorix::rt {
namespace {

// `whole` units plus `fraction` / `scale` of a unit, with the fraction's digits
// trimmed of trailing zeros.
std::string with_fraction(std::uint64_t whole, std::uint64_t fraction, std::uint64_t scale,
                          const char* unit) {
    std::string text = std::to_string(whole);
    if (fraction != 0) {
        std::string digits;
        for (std::uint64_t place = scale / 10; place > 0; place /= 10) {
            digits.push_back(static_cast<char>('0' + fraction / place % 10));
        }
        digits.erase(digits.find_last_not_of('0') + 1);
        text += '.' + digits;
    }
    return text + unit;
}

}  // namespace

std::string format_duration(std::chrono::nanoseconds duration) {
    std::uint64_t nanos = duration.count() < 0 ? 0 : static_cast<std::uint64_t>(duration.count());
    if (nanos >= 1'000'000'000)
        return with_fraction(nanos / 1'000'000'000, nanos % 1'000'000'000, 1'000'000'000, "s");
    if (nanos >= 1'000'000)
        return with_fraction(nanos / 1'000'000, nanos % 1'000'000, 1'000'000, "ms");
    if (nanos >= 1'000) return with_fraction(nanos / 1'000, nanos % 1'000, 1'000, "\u00b5s");
    return std::to_string(nanos) + "ns";
}

}  // namespace vantorix::rt
