// Status reports parsed per second by the engine, for the report a GRBL 1.1 controller
// sends most often. Prints one row of the `make bench` table.
#include <algorithm>
#include <chrono>
#include <cstdio>

#include "grbl/status_parser.hpp"

namespace {

using Clock = std::chrono::steady_clock;

constexpr const char* REPORT =
    "<Idle|MPos:10.000,20.000,30.000|Bf:15,128|FS:0,0|WCO:0.000,0.000,0.000>";
constexpr int CALLS_PER_ROUND = 200'000;
constexpr int ROUNDS = 5;

}  // namespace

int main() {
    using vantorix::grbl::DeviceState;
    const DeviceState base;
    // Something has to read the results, or the calls could be dropped.
    long long checksum = 0;
    double best_seconds = 1e9;
    for (int round = 0; round < ROUNDS; ++round) {
        auto start = Clock::now();
        for (int i = 0; i < CALLS_PER_ROUND; ++i) {
            checksum += *vantorix::grbl::parse_state(REPORT, base, false).buffer_available;
        }
        std::chrono::duration<double> elapsed = Clock::now() - start;
        best_seconds = std::min(best_seconds, elapsed.count());
    }
    if (checksum != 15LL * CALLS_PER_ROUND * ROUNDS) return 1;
    std::printf("%-34s %12.0f  %s\n", "engine parse_state", CALLS_PER_ROUND / best_seconds,
                "reports/s");
    return 0;
}
