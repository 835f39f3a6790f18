// Background tasks. Every task runs on its own strand of the runtime, so its steps never
// run in parallel with each other, while different tasks use both worker threads.
// Dropping a TaskHandle detaches the task; `abort` (from any thread) makes the task's
// next suspension point throw operation_aborted.
#pragma once

#include <asio/any_io_executor.hpp>
#include <asio/awaitable.hpp>
#include <chrono>
#include <memory>
#include <optional>

namespace asio {
class io_context;
}  // namespace asio

namespace vantorix::rt {

enum class TaskEnd {
    COMPLETED,  // the body returned
    ABORTED,    // the body ended with an exception after an abort request
    FAILED,     // the body threw without an abort request
};

namespace detail {
struct TaskState;
}  // namespace detail

class TaskHandle {
  public:
    TaskHandle() = default;
    explicit operator bool() const { return state_ != nullptr; }

    void abort() const;
    bool is_finished() const;
    // Waits (without a limit) for the task's end; may be awaited by several tasks.
    asio::awaitable<TaskEnd> join() const;
    // True when awaited from inside this very task, so that a task can tell it must not
    // wait for itself. Tasks spawned by it are tasks of their own and get false.
    asio::awaitable<bool> is_current() const;
    // Blocks the calling thread; for threads outside the runtime. Nothing when the task
    // has not ended within `limit`.
    std::optional<TaskEnd> wait_for(std::chrono::milliseconds limit) const;

  private:
    friend TaskHandle spawn(asio::io_context& context, asio::awaitable<void> body);
    explicit TaskHandle(std::shared_ptr<detail::TaskState> state) : state_(std::move(state)) {}
    std::shared_ptr<detail::TaskState> state_;
};

TaskHandle spawn(asio::io_context& context, asio::awaitable<void> body);
// On the runtime that `near` belongs to, e.g. the calling task's executor. `near` must be
// an executor of an io_context.
TaskHandle spawn(const asio::any_io_executor& near, asio::awaitable<void> body);
// On the process-wide runtime.
TaskHandle spawn(asio::awaitable<void> body);

}  // namespace vantorix::rt
