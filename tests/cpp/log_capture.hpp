// Test support: records log lines of chosen targets while a LogCapture is alive. The
// capturing logger is installed process-wide on first use (the facade accepts only one).
#pragma once

#include <mutex>
#include <string>
#include <vector>

#include "log/facade.hpp"

namespace vantorix::testing_support {

struct CapturedLine {
    log::Level level;
    std::string target;
    std::string message;
    bool operator==(const CapturedLine&) const = default;
};

class CapturingLogger final : public log::Logger {
  public:
    bool enabled(const log::Metadata&) const override { return true; }
    void log(const log::Record& record) override {
        std::lock_guard lock(mutex_);
        if (!active_) return;
        lines_.push_back({record.level, std::string(record.target), std::string(record.message)});
    }
    void flush() override {}

    void start() {
        std::lock_guard lock(mutex_);
        lines_.clear();
        active_ = true;
    }
    void stop() {
        std::lock_guard lock(mutex_);
        active_ = false;
    }
    std::vector<CapturedLine> lines(const std::string& target) const {
        std::lock_guard lock(mutex_);
        std::vector<CapturedLine> out;
        for (const auto& line : lines_)
            if (line.target == target) out.push_back(line);
        return out;
    }

  private:
    mutable std::mutex mutex_;
    bool active_ = false;
    std::vector<CapturedLine> lines_;
};

inline CapturingLogger& capturing_logger() {
    static CapturingLogger* logger = [] {
        auto* created = new CapturingLogger();
        log::set_logger(created);
        return created;
    }();
    return *logger;
}

// Captures every level while alive; the facade is switched off again afterwards.
class LogCapture {
  public:
    LogCapture() {
        capturing_logger().start();
        log::set_max_level(log::Level::TRACE);
    }
    ~LogCapture() {
        log::set_max_level(log::Level::OFF);
        capturing_logger().stop();
    }
    std::vector<CapturedLine> lines(const std::string& target) const {
        return capturing_logger().lines(target);
    }
};

}  // namespace vantorix::testing_support
