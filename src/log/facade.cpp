#include "log/facade.hpp"

#include <array>

namespace vantorix::log {

namespace detail {
std::atomic<Level> MAX_LEVEL{Level::OFF};
}  // namespace detail

namespace {
std::atomic<Logger*> INSTALLED{nullptr};

constexpr std::array<std::string_view, 6> LEVEL_NAMES{"OFF",  "ERROR", "WARN",
                                                      "INFO", "DEBUG", "TRACE"};
}  // namespace

std::string_view level_name(Level level) {
    return LEVEL_NAMES[static_cast<std::size_t>(level)];
}

void set_logger(Logger* logger) {
    Logger* expected = nullptr;
    INSTALLED.compare_exchange_strong(expected, logger, std::memory_order_acq_rel);
}

void set_max_level(Level level) {
    detail::MAX_LEVEL.store(level, std::memory_order_relaxed);
}

Level max_level() {
    return detail::MAX_LEVEL.load(std::memory_order_relaxed);
}

namespace detail {
void dispatch(Level level, std::string_view target, std::string message) {
    Logger* logger = INSTALLED.load(std::memory_order_acquire);
    if (logger == nullptr) return;
    logger->log(Record{level, target, message});
}
}  // namespace detail

}  // namespace vantorix::log
