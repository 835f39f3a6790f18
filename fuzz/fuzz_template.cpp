// Dialect templates: arbitrary templates rendered with arbitrary values, and the number
// writers checked against the values they write.
#include <fuzzer/FuzzedDataProvider.h>

#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <vector>

#include "check.hpp"
#include "grbl/dialect.hpp"

namespace {

namespace grbl = vantorix::grbl;
using vantorix::fuzz::is_finite;

constexpr std::string_view NAMES[] = {"x", "y", "z", "speed", "power", "p_num", "axis_letter"};

grbl::Arg arg(FuzzedDataProvider& input) {
    switch (input.ConsumeIntegralInRange<int>(0, 3)) {
        case 0:
            return grbl::Arg::Coord{input.ConsumeFloatingPoint<double>()};
        case 1:
            return grbl::Arg::Number{input.ConsumeFloatingPoint<double>()};
        case 2:
            return grbl::Arg::Int{input.ConsumeIntegral<std::int64_t>()};
        default:
            return grbl::Arg::Text{input.ConsumeRandomLengthString(16)};
    }
}

void check_rendered(const grbl::Rendered& rendered, std::string_view template_text) {
    if (rendered.ok()) return;
    FUZZ_CHECK(rendered.text.empty());
    const std::string& error = *rendered.error;
    FUZZ_CHECK(error.starts_with("no value for placeholder {") ||
               error.starts_with("unterminated placeholder in template \"") ||
               error.starts_with("precision above 65535 in placeholder {"));
    FUZZ_CHECK(template_text.find('{') != std::string_view::npos);
}

void check_template(FuzzedDataProvider& input) {
    std::vector<std::string> names;
    std::vector<grbl::NamedArg> args;
    std::size_t count = input.ConsumeIntegralInRange<std::size_t>(0, 4);
    names.reserve(count);
    for (std::size_t i = 0; i < count; ++i) {
        names.push_back(input.ConsumeBool() ? std::string(input.PickValueInArray(NAMES))
                                            : input.ConsumeRandomLengthString(8));
    }
    for (const std::string& name : names) args.emplace_back(name, arg(input));
    std::string template_text = input.ConsumeRemainingBytesAsString();

    grbl::Rendered rendered = grbl::format_template(template_text, args);
    check_rendered(rendered, template_text);
    if (template_text.find('{') == std::string::npos) {
        FUZZ_CHECK(rendered.ok() && rendered.text == template_text);
    }

    grbl::GrblDialect dialect;
    dialect.set_wcs_offset = template_text;
    check_rendered(dialect.format_wcs_offset(1, 2.5, -3.0, std::nullopt), template_text);
    check_rendered(dialect.format_wcs_offset(6, 0.0, 1e300, 0.125), template_text);
}

// Shortest form reads back exactly; fixed decimals are within half a unit of the last
// decimal, give or take the reading's own rounding.
void check_numbers(FuzzedDataProvider& input) {
    double value = input.ConsumeFloatingPoint<double>();
    int decimals = input.ConsumeIntegralInRange<int>(0, 40);
    std::string fixed = grbl::fixed_decimals(value, decimals);
    if (!is_finite(value)) return;
    std::string shortest = grbl::shortest_decimal(value);
    FUZZ_CHECK(shortest.find_first_not_of("-0123456789.") == std::string::npos);
    FUZZ_CHECK(std::strtod(shortest.c_str(), nullptr) == value);
    for (const auto& written :
         {grbl::format_arg(grbl::Arg::Coord{value}), grbl::format_arg(grbl::Arg::Number{value})}) {
        FUZZ_CHECK(std::strtod(written.c_str(), nullptr) == value ||
                   (value == 0 && written == "0"));
    }
    std::size_t point = fixed.find('.');
    if (decimals == 0) {
        FUZZ_CHECK(point == std::string::npos);
    } else {
        FUZZ_CHECK(point != std::string::npos && fixed.size() - point - 1 == std::size_t(decimals));
    }
    double read = std::strtod(fixed.c_str(), nullptr);
    double tolerance = 0.5 * std::pow(10.0, -decimals) + std::fabs(value) * 1e-15;
    FUZZ_CHECK(std::fabs(read - value) <= tolerance);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    FuzzedDataProvider input(data, size);
    if (input.ConsumeBool()) {
        check_numbers(input);
    } else {
        check_template(input);
    }
    return 0;
}
