// Process-wide leveled logging. Every part of the engine logs through these functions
// with a target (a module path such as "vantorix::grbl::session") and a message with
// "{}" placeholders. A record above the global maximum level costs one relaxed atomic
// load and a comparison; only enabled records are formatted and handed to the logger.
#pragma once

#include <atomic>
#include <cstdint>
#include <string>
#include <string_view>

#include "log/format.hpp"

namespace vantorix::log {

enum class Level : std::uint8_t { OFF = 0, ERROR = 1, WARN = 2, INFO = 3, DEBUG = 4, TRACE = 5 };

// "ERROR", "WARN", ... ; "OFF" for OFF.
std::string_view level_name(Level level);

struct Metadata {
    Level level;
    std::string_view target;
};

struct Record {
    Level level;
    std::string_view target;
    std::string_view message;
};

// The sink behind the facade. Called from any thread; implementations synchronise.
class Logger {
  public:
    virtual ~Logger() = default;
    virtual bool enabled(const Metadata& metadata) const = 0;
    virtual void log(const Record& record) = 0;
    virtual void flush() = 0;
};

namespace detail {
extern std::atomic<Level> MAX_LEVEL;
void dispatch(Level level, std::string_view target, std::string message);
}  // namespace detail

// Installs the logger once; later calls are ignored. The logger must live for the
// rest of the process.
void set_logger(Logger* logger);
void set_max_level(Level level);
Level max_level();

inline bool level_enabled(Level level) {
    return level <= detail::MAX_LEVEL.load(std::memory_order_relaxed);
}

template <typename... Args>
void write(Level level, std::string_view target, std::string_view pattern, const Args&... args) {
    if (!level_enabled(level)) return;
    detail::dispatch(level, target, format(pattern, args...));
}

template <typename... Args>
void error(std::string_view target, std::string_view pattern, const Args&... args) {
    write(Level::ERROR, target, pattern, args...);
}
template <typename... Args>
void warn(std::string_view target, std::string_view pattern, const Args&... args) {
    write(Level::WARN, target, pattern, args...);
}
template <typename... Args>
void info(std::string_view target, std::string_view pattern, const Args&... args) {
    write(Level::INFO, target, pattern, args...);
}
template <typename... Args>
void debug(std::string_view target, std::string_view pattern, const Args&... args) {
    write(Level::DEBUG, target, pattern, args...);
}
template <typename... Args>
void trace(std::string_view target, std::string_view pattern, const Args&... args) {
    write(Level::TRACE, target, pattern, args...);
}

}  // namespace vantorix::log
