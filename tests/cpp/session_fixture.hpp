// Test support for the session engine: an event sink that records what the engine
// reports, and a scripted device on the in-memory transport that answers what the
// session writes.
#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "grbl/session/core.hpp"
#include "grbl/transport/mock.hpp"
#include "rt/block_on.hpp"

namespace vantorix::testing_support {

namespace rt = vantorix::rt;

using namespace std::chrono_literals;
using grbl::TransportStatus;

inline grbl::Bytes to_bytes(std::string_view text) {
    return grbl::Bytes(text.begin(), text.end());
}
inline std::string to_text(const grbl::Bytes& bytes) {
    return std::string(bytes.begin(), bytes.end());
}

struct StatusEvent {
    TransportStatus status;
    std::optional<std::string> message;
    bool operator==(const StatusEvent&) const = default;
};

// Records every event; waits with generous limits for what tests expect to come.
class RecordingEvents final : public grbl::SessionEvents {
  public:
    void state_changed(const grbl::DeviceState& state) override {
        record([&] { states_.push_back(state); });
    }
    void connection_status(TransportStatus status,
                           const std::optional<std::string>& message) override {
        record([&] { connection_.push_back({status, message}); });
    }
    void command_status(TransportStatus status,
                        const std::optional<std::string>& message) override {
        record([&] { command_.push_back({status, message}); });
    }
    void job_finished() override {
        record([&] { ++jobs_finished_; });
    }
    void probe_status(const std::string& text) override {
        record([&] { probes_.push_back(text); });
    }
    void wcs_updated(const grbl::WcsOffsets&) override {}
    void config_changed(const std::string& key, std::int64_t value) override {
        record([&] { config_.emplace_back(key, value); });
    }
    void command_done(std::uint64_t op_index) override {
        record([&] { done_.push_back(op_index); });
    }

    std::vector<grbl::DeviceState> states() const { return read(states_); }
    std::vector<StatusEvent> connection() const { return read(connection_); }
    std::vector<StatusEvent> command() const { return read(command_); }
    std::vector<std::pair<std::string, std::int64_t>> config() const { return read(config_); }
    std::vector<std::uint64_t> done() const { return read(done_); }
    int jobs_finished() const { return read(jobs_finished_); }

    std::vector<TransportStatus> connection_kinds() const {
        std::vector<TransportStatus> kinds;
        for (const StatusEvent& event : connection()) kinds.push_back(event.status);
        return kinds;
    }

    // True once `condition` holds (checked after every event); false after `limit`.
    bool wait_for(const std::function<bool(const RecordingEvents&)>& condition,
                  std::chrono::milliseconds limit = 5s) const {
        std::unique_lock lock(wait_mutex_);
        return changed_.wait_for(lock, limit, [&] { return condition(*this); });
    }
    // Waits until `count` connection statuses have been published.
    bool wait_connection_count(std::size_t count, std::chrono::milliseconds limit = 5s) const {
        return wait_for(
            [count](const RecordingEvents& e) { return e.connection().size() >= count; }, limit);
    }

  private:
    template <typename F>
    void record(F&& update) {
        {
            std::lock_guard lock(mutex_);
            update();
        }
        {
            std::lock_guard wake(wait_mutex_);
        }
        changed_.notify_all();
    }
    template <typename T>
    T read(const T& value) const {
        std::lock_guard lock(mutex_);
        return value;
    }

    mutable std::mutex mutex_;
    std::vector<grbl::DeviceState> states_;
    std::vector<StatusEvent> connection_;
    std::vector<StatusEvent> command_;
    std::vector<std::string> probes_;
    std::vector<std::pair<std::string, std::int64_t>> config_;
    std::vector<std::uint64_t> done_;
    int jobs_finished_ = 0;

    mutable std::mutex wait_mutex_;
    mutable std::condition_variable changed_;
};

// A controller on a MockInner: a thread that watches what the session writes and pushes
// the answers. "?" gets a status report (or the welcome banner), "$I" its build
// information and ok, any other line ok (or an error reply), unless told to stay silent.
class ScriptedDevice {
  public:
    enum class Lines { OK, ERROR_20, SILENT };

    explicit ScriptedDevice(std::shared_ptr<grbl::MockInner> mock)
        : mock_(std::move(mock)), thread_([this] { run(); }) {}
    ~ScriptedDevice() {
        stop_.store(true);
        thread_.join();
    }
    ScriptedDevice(const ScriptedDevice&) = delete;
    ScriptedDevice& operator=(const ScriptedDevice&) = delete;

    std::atomic<bool> answer_polls{true};
    std::atomic<bool> banner_instead_of_report{false};
    std::atomic<Lines> lines{Lines::OK};
    std::atomic<bool> report_buffer_size{true};  // the [OPT:...] line of "$I"

    // Lines (without newline) received so far, "?" polls not included.
    std::vector<std::string> received_lines() const {
        std::lock_guard lock(mutex_);
        return received_;
    }
    int polls() const { return polls_.load(); }

  private:
    void push(std::string_view text) { mock_->push(to_bytes(text)); }

    void answer_line(const std::string& line) {
        {
            std::lock_guard lock(mutex_);
            received_.push_back(line);
        }
        if (lines.load() == Lines::SILENT) return;
        if (line == "$I") {
            push("[VER:1.1h.20190825:]\r\n");
            if (report_buffer_size.load()) push("[OPT:V,15,128]\r\n");
            push("ok\r\n");
            return;
        }
        push(lines.load() == Lines::ERROR_20 ? "error:20\r\n" : "ok\r\n");
    }

    void answer_poll() {
        polls_.fetch_add(1);
        if (!answer_polls.load()) return;
        if (banner_instead_of_report.load()) {
            push("\r\nGrbl 1.1h ['$' for help]\r\n");
        } else {
            push("<Idle|MPos:0.000,0.000,0.000|FS:0,0>\r\n");
        }
    }

    void run() {
        std::string partial;
        while (!stop_.load()) {
            for (const grbl::Bytes& chunk : mock_->take_new_sent()) {
                for (std::uint8_t byte : chunk) {
                    if (byte == '?') {
                        answer_poll();
                    } else if (byte == '\n') {
                        answer_line(std::exchange(partial, {}));
                    } else {
                        partial.push_back(static_cast<char>(byte));
                    }
                }
            }
            std::this_thread::sleep_for(1ms);
        }
    }

    std::shared_ptr<grbl::MockInner> mock_;
    mutable std::mutex mutex_;
    std::vector<std::string> received_;
    std::atomic<int> polls_{0};
    std::atomic<bool> stop_{false};
    std::thread thread_;
};

// Polls `condition` every millisecond; false when it still fails after `limit`.
inline bool eventually(const std::function<bool()>& condition,
                       std::chrono::milliseconds limit = 5s) {
    auto deadline = std::chrono::steady_clock::now() + limit;
    while (!condition()) {
        if (std::chrono::steady_clock::now() >= deadline) return false;
        std::this_thread::sleep_for(1ms);
    }
    return true;
}

template <typename T>
asio::awaitable<void> store_result(asio::awaitable<T> op, std::optional<T>* out) {
    out->emplace(co_await std::move(op));
}

// Runs `op` on the runtime and returns its value; for results without a default value,
// which block_on cannot carry.
template <typename T>
T run_blocking(asio::awaitable<T> op) {
    std::optional<T> out;
    rt::block_on(store_result(std::move(op), &out));
    return std::move(*out);
}

// Short intervals so that engine tests run in milliseconds.
inline grbl::SessionConfig fast_config() {
    grbl::SessionConfig config;
    config.handshake_timeout = 0.3;
    config.handshake_poll_interval = 0.03;
    config.status_poll_interval = 0.03;
    config.reconnect_delay = 0.1;
    config.command_timeout = 2.0;
    return config;
}

}  // namespace vantorix::testing_support
