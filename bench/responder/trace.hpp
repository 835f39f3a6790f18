// Timestamps of what the responder received and sent, for the latency benchmarks. The clock
// is CLOCK_MONOTONIC (std::chrono::steady_clock on Linux), which is system-wide, so the host
// process can compare its own timestamps with these.
#pragma once

#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

#include "grbl_model.hpp"

namespace vantorix::bench {

// What a trace event records; the letter is the first column of the trace file.
enum class TraceKind : char {
    LINE_START = 'l',   // the first byte of a line was read
    REALTIME = 'r',     // a realtime byte was read; value: the byte
    OK_SENT = 'o',      // an "ok" left the responder (its write returned)
    REPORT_SENT = 's',  // a status report left the responder; value: its sequence number
    OTHER_SENT = 'x',   // any other reply left the responder
};

class Trace {
  public:
    void record(TraceKind kind, std::uint32_t value, Clock::time_point at) {
        events_.push_back({kind, value, at});
    }

    // One event per line: "<letter> <value> <nanoseconds>".
    bool write(const std::string& path) const {
        std::FILE* file = std::fopen(path.c_str(), "w");
        if (file == nullptr) return false;
        for (const Event& event : events_) {
            long long ns =
                std::chrono::duration_cast<std::chrono::nanoseconds>(event.at.time_since_epoch())
                    .count();
            std::fprintf(file, "%c %u %lld\n", static_cast<char>(event.kind), event.value, ns);
        }
        return std::fclose(file) == 0;
    }

  private:
    struct Event {
        TraceKind kind;
        std::uint32_t value;
        Clock::time_point at;
    };
    std::vector<Event> events_;
};

}  // namespace vantorix::bench
