#include "log/sink.hpp"

#include <fcntl.h>
#include <time.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <mutex>

#include "log/filter.hpp"

namespace vantorix::log {
namespace {

struct LoggerState {
    Filter filter;
    int file = -1;  // open log file, or -1 for standard error
};

std::mutex LOGGER_MUTEX;
std::optional<LoggerState> LOGGER;

void write_all(int fd, std::string_view text) {
    // One write per line keeps lines whole; a short write is finished but errors are
    // not reported anywhere (a logger has nowhere to report them).
    while (!text.empty()) {
        ssize_t n = ::write(fd, text.data(), text.size());
        if (n < 0) return;
        text.remove_prefix(static_cast<std::size_t>(n));
    }
}

bool is_valid_utf8(std::string_view text) {
    std::size_t i = 0;
    while (i < text.size()) {
        auto c = static_cast<unsigned char>(text[i]);
        std::size_t extra;
        char32_t cp;
        if (c < 0x80) {
            ++i;
            continue;
        } else if ((c & 0xE0) == 0xC0) {
            extra = 1;
            cp = c & 0x1F;
        } else if ((c & 0xF0) == 0xE0) {
            extra = 2;
            cp = c & 0x0F;
        } else if ((c & 0xF8) == 0xF0) {
            extra = 3;
            cp = c & 0x07;
        } else {
            return false;
        }
        if (i + extra >= text.size()) return false;
        for (std::size_t k = 1; k <= extra; ++k) {
            auto cc = static_cast<unsigned char>(text[i + k]);
            if ((cc & 0xC0) != 0x80) return false;
            cp = (cp << 6) | (cc & 0x3F);
        }
        static constexpr char32_t MIN_FOR_LENGTH[] = {0, 0x80, 0x800, 0x10000};
        if (cp < MIN_FOR_LENGTH[extra] || cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF)) {
            return false;
        }
        i += extra + 1;
    }
    return true;
}

std::string choose_filter_text(const std::optional<std::string>& filter) {
    if (const char* env = std::getenv(LOG_FILTER_ENV); env != nullptr && is_valid_utf8(env)) {
        return env;
    }
    return filter.value_or("warn");
}

class BridgeLogger final : public Logger {
  public:
    bool enabled(const Metadata& metadata) const override {
        std::lock_guard lock(LOGGER_MUTEX);
        return LOGGER && LOGGER->filter.allows(metadata.level, metadata.target);
    }

    void log(const Record& record) override {
        timespec now{};
        clock_gettime(CLOCK_REALTIME, &now);
        long long millis = now.tv_sec < 0 ? 0 : now.tv_sec * 1000LL + now.tv_nsec / 1'000'000;
        std::string line = format_log_line(millis, record.level, record.target, record.message);

        std::lock_guard lock(LOGGER_MUTEX);
        if (!LOGGER || !LOGGER->filter.allows(record.level, record.target) ||
            !LOGGER->filter.matches(record.message)) {
            return;
        }
        write_all(LOGGER->file >= 0 ? LOGGER->file : STDERR_FILENO, line);
    }

    void flush() override {
        std::lock_guard lock(LOGGER_MUTEX);
        std::fflush(stderr);
    }
};

// Days since 1970-01-01 to a proleptic Gregorian date (Howard Hinnant's algorithm).
void civil_from_days(long long days, long long& year, unsigned& month, unsigned& day) {
    days += 719468;
    const long long era = (days >= 0 ? days : days - 146096) / 146097;
    const unsigned doe = static_cast<unsigned>(days - era * 146097);
    const unsigned yoe = (doe - doe / 1460 + doe / 36524 - doe / 146096) / 365;
    const unsigned doy = doe - (365 * yoe + yoe / 4 - yoe / 100);
    const unsigned mp = (5 * doy + 2) / 153;
    day = doy - (153 * mp + 2) / 5 + 1;
    month = mp < 10 ? mp + 3 : mp - 9;
    year = static_cast<long long>(yoe) + era * 400 + (month <= 2 ? 1 : 0);
}

}  // namespace

std::string format_log_line(long long unix_millis, Level level, std::string_view target,
                            std::string_view message) {
    long long secs = unix_millis / 1000;
    long long days = secs / 86400;
    long long rem = secs % 86400;
    long long year;
    unsigned month, day;
    civil_from_days(days, year, month, day);
    char stamp[64];
    std::snprintf(stamp, sizeof stamp, "%04lld-%02u-%02uT%02lld:%02lld:%02lld.%03lldZ", year, month,
                  day, rem / 3600, rem / 60 % 60, rem % 60, unix_millis % 1000);
    std::string_view name = level_name(level);
    std::string line;
    line.reserve(48 + target.size() + message.size());
    line += '[';
    line += stamp;
    line += ' ';
    line += name;
    line.append(name.size() < 5 ? 5 - name.size() : 0, ' ');
    line += ' ';
    line += target;
    line += "] ";
    line += message;
    line += '\n';
    return line;
}

Logger& bridge_logger() {
    static BridgeLogger bridge;
    return bridge;
}

void init_logging(const std::optional<std::string>& filter,
                  const std::optional<std::string>& path) {
    ParsedFilter parsed = parse_filter(choose_filter_text(filter));
    for (const std::string& error : parsed.errors) {
        write_all(STDERR_FILENO, "warning: " + error + ", ignoring it\n");
    }
    set_max_level(parsed.filter.max_level());

    int file = -1;
    // A path with an embedded NUL names no file; opening its truncated prefix would
    // write somewhere the caller never asked for.
    if (path && path->find('\0') == std::string::npos) {
        file = ::open(path->c_str(), O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0666);
    }

    set_logger(&bridge_logger());

    int previous = -1;
    {
        std::lock_guard lock(LOGGER_MUTEX);
        if (LOGGER) previous = LOGGER->file;
        LOGGER = LoggerState{std::move(parsed.filter), file};
    }
    if (previous >= 0) ::close(previous);
}

}  // namespace vantorix::log
