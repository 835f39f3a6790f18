// Test support for streamed jobs: a controller model on the in-memory transport that
// keeps its own account of the receive buffer, answers lines at once or only when told
// to, can lose acknowledgements and answers "?" with a chosen report; and a session
// with an open link and a reader, without the connection supervisor.
#pragma once

#include <algorithm>
#include <deque>
#include <string>
#include <vector>

#include "grbl/session/commands.hpp"
#include "grbl/session/streaming.hpp"
#include "log_capture.hpp"
#include "session_fixture.hpp"

namespace vantorix::testing_support {

// What the controller has received: lines (without newline) and single realtime bytes,
// in arrival order.
struct Received {
    enum class Kind { LINE, REALTIME };
    Kind kind;
    std::string text;
    bool operator==(const Received&) const = default;
};

inline Received line(std::string text) {
    return {Received::Kind::LINE, std::move(text)};
}
inline Received realtime(char byte) {
    return {Received::Kind::REALTIME, std::string(1, byte)};
}

class JobDevice {
  public:
    static constexpr const char* IDLE_REPORT = "<Idle|MPos:0.000,0.000,0.000|FS:0,0>";
    static constexpr const char* RUN_REPORT = "<Run|MPos:1.000,0.000,0.000|FS:500,0>";
    static constexpr const char* ALARM_REPORT = "<Alarm|MPos:1.000,0.000,0.000|FS:0,0>";

    explicit JobDevice(std::shared_ptr<grbl::MockInner> mock, std::size_t capacity = 127)
        : mock_(std::move(mock)), capacity_(capacity), thread_([this] { run(); }) {}
    ~JobDevice() {
        stop_.store(true);
        thread_.join();
    }
    JobDevice(const JobDevice&) = delete;
    JobDevice& operator=(const JobDevice&) = delete;

    // Answer every line with "ok" as soon as it arrives (else only through `ack`).
    std::atomic<bool> auto_ok{true};
    // Report for "?"; empty: no answer.
    void set_report(std::string report) {
        std::lock_guard lock(mutex_);
        report_ = std::move(report);
    }
    // The next `count` lines are executed without their "ok" reaching the host.
    void drop_oks(int count) {
        std::lock_guard lock(mutex_);
        oks_to_drop_ += count;
    }
    // Answers the `count` oldest unanswered lines with `reply` ("ok", "error:20").
    void ack(std::size_t count = 1, const std::string& reply = "ok") {
        std::lock_guard lock(mutex_);
        for (std::size_t i = 0; i < count && !unanswered_.empty(); ++i) answer_oldest(reply);
    }
    // Pushes raw device output.
    void say(std::string_view text) { mock_->push(to_bytes(text)); }

    std::vector<Received> received() const {
        std::lock_guard lock(mutex_);
        return received_;
    }
    std::vector<std::string> lines() const {
        std::vector<std::string> out;
        for (const Received& r : received())
            if (r.kind == Received::Kind::LINE) out.push_back(r.text);
        return out;
    }
    std::size_t count_line(const std::string& text) const {
        auto all = lines();
        return static_cast<std::size_t>(std::count(all.begin(), all.end(), text));
    }
    std::size_t count_realtime(char byte) const {
        auto all = received();
        return static_cast<std::size_t>(std::count(all.begin(), all.end(), realtime(byte)));
    }
    std::size_t unanswered_lines() const {
        std::lock_guard lock(mutex_);
        return unanswered_.size();
    }
    // The most bytes of unanswered lines the device ever held, and whether any line
    // arrived when it did not fit.
    std::size_t max_buffered() const {
        std::lock_guard lock(mutex_);
        return max_buffered_;
    }
    bool overflowed() const {
        std::lock_guard lock(mutex_);
        return overflowed_;
    }

  private:
    void answer_oldest(const std::string& reply) {
        buffered_ -= unanswered_.front().size() + 1;
        unanswered_.pop_front();
        mock_->push(to_bytes(reply + "\r\n"));
    }

    void on_line(std::string text) {
        std::lock_guard lock(mutex_);
        received_.push_back(line(text));
        buffered_ += text.size() + 1;
        if (buffered_ > capacity_) overflowed_ = true;
        max_buffered_ = std::max(max_buffered_, buffered_);
        if (oks_to_drop_ > 0) {
            --oks_to_drop_;
            buffered_ -= text.size() + 1;
            return;
        }
        unanswered_.push_back(std::move(text));
        if (auto_ok.load()) answer_oldest("ok");
    }

    void on_realtime(char byte) {
        std::string report;
        {
            std::lock_guard lock(mutex_);
            received_.push_back(realtime(byte));
            if (byte == 0x18) {  // a soft reset empties the buffer without answers
                unanswered_.clear();
                buffered_ = 0;
            }
            report = report_;
        }
        if (byte == '?' && !report.empty()) say(report + "\r\n");
    }

    void run() {
        std::string partial;
        while (!stop_.load()) {
            for (const grbl::Bytes& chunk : mock_->take_new_sent()) {
                for (std::uint8_t byte : chunk) {
                    if (byte == '?' || byte == '!' || byte == '~' || byte == 0x18) {
                        on_realtime(static_cast<char>(byte));
                    } else if (byte == '\n') {
                        on_line(std::exchange(partial, {}));
                    } else {
                        partial.push_back(static_cast<char>(byte));
                    }
                }
            }
            std::this_thread::sleep_for(std::chrono::microseconds(200));
        }
    }

    std::shared_ptr<grbl::MockInner> mock_;
    const std::size_t capacity_;
    mutable std::mutex mutex_;
    std::string report_ = IDLE_REPORT;
    std::vector<Received> received_;
    std::deque<std::string> unanswered_;
    std::size_t buffered_ = 0;
    std::size_t max_buffered_ = 0;
    bool overflowed_ = false;
    int oks_to_drop_ = 0;
    std::atomic<bool> stop_{false};
    std::thread thread_;
};

inline asio::awaitable<void> feed_rx(std::shared_ptr<grbl::SessionCore> core,
                                     grbl::RxReceiver chunks) {
    for (;;) {
        std::optional<grbl::Bytes> chunk = co_await chunks.recv();
        if (!chunk) co_return;
        core->handle_rx(*chunk);
    }
}

// Short stall and poll intervals so that stall paths take milliseconds.
inline grbl::SessionConfig job_config() {
    grbl::SessionConfig config = fast_config();
    config.stall_timeout_default = 0.15;
    config.stall_timeout_min = 0.05;
    config.stall_timeout_max = 0.5;
    config.poll_response_attempts = 5;
    config.poll_response_interval = 0.01;
    config.safety_shutdown_delay = 0.02;
    return config;
}

// A session with an open in-memory link, a reader task and (optionally) a command queue.
class JobHarness {
  public:
    explicit JobHarness(grbl::SessionConfig config = job_config(),
                        grbl::GrblDialect dialect = grbl::GrblDialect{}) {
        core = grbl::SessionCore::create(grbl::MockLink{mock}, config, std::move(dialect), events);
        auto [rx_tx, rx_rx] = grbl::rx_channel();
        (void)rt::block_on(mock->open(std::move(rx_tx)));
        reader = rt::spawn(feed_rx(core, std::move(rx_rx)));
    }
    ~JobHarness() {
        for (rt::TaskHandle* task : {&queue, &reader}) {
            if (!*task) continue;
            task->abort();
            (void)task->wait_for(std::chrono::seconds(5));
        }
        // A stream left running by a failed test must not outlive the harness.
        rt::block_on(grbl::abort_stream_task(core));
    }

    void start_command_queue() {
        auto [tx, rx] = rt::unbounded_channel<grbl::QueuedCommand>();
        core->command_tx.set(std::move(tx));
        core->connection_wanted.store(true);
        queue = rt::spawn(grbl::command_queue_loop(core, std::move(rx)));
    }

    rt::TaskHandle start_run(std::string gcode, grbl::OpLineMap map = {},
                             grbl::OpEstimates estimates = std::nullopt) {
        return rt::spawn(grbl::run(core, std::move(gcode), std::move(map), std::move(estimates)));
    }
    // Runs a job to its end (generous limit); false when it did not end.
    bool run_job(std::string gcode, grbl::OpLineMap map = {},
                 grbl::OpEstimates estimates = std::nullopt,
                 std::chrono::milliseconds limit = std::chrono::seconds(10)) {
        return start_run(std::move(gcode), std::move(map), std::move(estimates))
            .wait_for(limit)
            .has_value();
    }

    std::shared_ptr<grbl::MockInner> mock = std::make_shared<grbl::MockInner>();
    std::shared_ptr<RecordingEvents> events = std::make_shared<RecordingEvents>();
    std::shared_ptr<grbl::SessionCore> core;
    rt::TaskHandle reader;
    rt::TaskHandle queue;
};

// `count` lines of exactly `width` bytes each, newline included ("G1 X1 F100000..." style).
inline std::string fixed_width_program(std::size_t count, std::size_t width) {
    std::string program;
    for (std::size_t i = 0; i < count; ++i) {
        std::string text = "G1 X" + std::to_string(i) + " F";
        while (text.size() + 1 < width) text.push_back('1');
        program += text + "\n";
    }
    return program;
}

inline bool logged(const std::vector<CapturedLine>& lines, log::Level level,
                   const std::string& message) {
    return std::find(lines.begin(), lines.end(),
                     CapturedLine{level, "vantorix::grbl::session", message}) != lines.end();
}

inline std::size_t count_logged(const std::vector<CapturedLine>& lines,
                                const std::string& message) {
    return static_cast<std::size_t>(std::count_if(
        lines.begin(), lines.end(), [&](const CapturedLine& l) { return l.message == message; }));
}

}  // namespace vantorix::testing_support
