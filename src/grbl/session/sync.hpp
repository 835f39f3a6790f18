// The waiting and hand-over records of the session engine: a settable event, the
// request shared by a command's caller, the command queue and receive handling, and
// the records that tell when a stream task has ended.
#pragma once

#include <asio/awaitable.hpp>
#include <atomic>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "rt/notify.hpp"
#include "rt/task.hpp"

namespace vantorix::grbl {

// A flag that tasks can wait for. `set` wakes every current waiter and stores one
// wake-up for a later one; `clear` leaves waiters alone.
class AsyncEvent {
  public:
    void set();
    void clear();
    bool is_set() const;
    // Returns once the flag is set (at once if it already is). The event must outlive
    // the wait.
    asio::awaitable<void> wait();

  private:
    rt::Notify notify_;
    mutable std::mutex mutex_;
    bool flag_ = false;
};

// One command on its way to the device and the lines that answer it.
class RequestShared {
  public:
    explicit RequestShared(std::string command) : command_(std::move(command)) {}

    const std::string& command() const { return command_; }
    std::vector<std::string> lines() const;
    void add_line(std::string line);

    // Set by the reply that completes the request, or by its caller's timeout.
    AsyncEvent done;

  private:
    const std::string command_;
    mutable std::mutex mutex_;
    std::vector<std::string> lines_;
};

// The element of the command queue channel.
struct QueuedCommand {
    std::shared_ptr<RequestShared> request;
};

// Tells waiters that a stream task has ended, however it ended.
struct StreamDone {
    rt::Notify notify;
    std::atomic<bool> finished{false};
};

// Held by the stream task for its whole life: destroying it (normal end, failure or
// abort) marks the stream finished and wakes its waiters.
class StreamGuard {
  public:
    explicit StreamGuard(std::shared_ptr<StreamDone> done) : done_(std::move(done)) {}
    StreamGuard(const StreamGuard&) = delete;
    StreamGuard& operator=(const StreamGuard&) = delete;
    ~StreamGuard();

  private:
    std::shared_ptr<StreamDone> done_;
};

// The running stream task and its end marker.
struct StreamHandle {
    rt::TaskHandle task;
    std::shared_ptr<StreamDone> done;

    bool finished() const { return !done || done->finished.load(); }
    // Aborts the task unless it has already finished, then waits for its end. Must not
    // be awaited by the stream task itself.
    asio::awaitable<void> abort_and_wait() const;
};

}  // namespace vantorix::grbl
