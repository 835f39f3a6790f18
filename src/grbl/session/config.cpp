#include "grbl/session/config.hpp"

#include <cmath>
#include <limits>

namespace vantorix::grbl {

rt::Duration SessionConfig::secs(double seconds) {
    if (!(seconds > 0.0)) return rt::Duration::zero();
    using Nanos = std::chrono::nanoseconds;
    // 2^63 ns is about 292 years; anything at or beyond it saturates.
    constexpr double LIMIT = 9.2e18;
    double nanos = std::round(seconds * 1e9);
    if (nanos >= LIMIT) return std::chrono::duration_cast<rt::Duration>(Nanos::max());
    return std::chrono::duration_cast<rt::Duration>(Nanos(static_cast<Nanos::rep>(nanos)));
}

}  // namespace vantorix::grbl
