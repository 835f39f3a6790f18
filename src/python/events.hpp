// Event delivery: the engine's reports become (name, payload) events, queued per session
// and handed to the Python callbacks on the event loop thread in batches.
#pragma once

#include <atomic>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <utility>
#include <vector>

#include "grbl/session/events.hpp"
#include "python/gil.hpp"

namespace vantorix::python {

class EventQueue {
  public:
    struct Event {
        std::string name;
        SharedRef payload;
        // A progress event carries its operation index instead of a payload; the drain
        // makes the Python int, so queueing one needs no interpreter lock.
        std::uint64_t op_index = 0;
    };

    // Appends the event; true when the caller must request a drain (none was pending).
    bool push(std::string name, PyRef payload);
    // Appends a progress event; true when the caller must request a drain.
    bool push_progress(std::uint64_t op_index);
    // Starts a drain: clears the pending flag and takes every queued event.
    std::vector<Event> take();
    // Gives up a requested drain that could not be scheduled.
    void unschedule() { scheduled_.store(false); }

  private:
    std::mutex mutex_;
    std::vector<Event> events_;
    std::atomic<bool> scheduled_{false};
};

class PyEvents final : public grbl::SessionEvents, public std::enable_shared_from_this<PyEvents> {
  public:
    // `callback` may be None (no event callback). Call with the interpreter lock held.
    static std::shared_ptr<PyEvents> create(PyObject* callback);

    // Remembers the running loop on the first call; raises the asyncio error when no
    // loop runs. Call with the interpreter lock held.
    void capture_loop();
    // Call with the interpreter lock held.
    void set_progress_callback(PyObject* callback);

    void state_changed(const grbl::DeviceState& state) override;
    void connection_status(grbl::TransportStatus status,
                           const std::optional<std::string>& message) override;
    void command_status(grbl::TransportStatus status,
                        const std::optional<std::string>& message) override;
    void job_finished() override;
    void probe_status(const std::string& text) override;
    void wcs_updated(const grbl::WcsOffsets& offsets) override;
    void config_changed(const std::string& key, std::int64_t value) override;
    void command_done(std::uint64_t op_index) override;

    // The drain, on the loop thread with the interpreter lock held.
    void drain();

  private:
    PyEvents() = default;

    // Builds the payload under the interpreter lock and queues the event.
    template <typename BuildPayload>
    void emit(const char* name, BuildPayload build);
    // Requests a drain on the captured loop; false when none is captured or scheduling
    // failed (the error is left set for the caller to report).
    enum class Scheduled { YES, NO_LOOP, FAILED };
    Scheduled schedule_drain();

    std::shared_ptr<EventQueue> queue_ = std::make_shared<EventQueue>();
    SharedRef callback_;
    std::mutex loop_mutex_;
    SharedRef loop_;
    std::mutex progress_mutex_;
    SharedRef progress_callback_;
};

}  // namespace vantorix::python
