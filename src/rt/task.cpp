#include "rt/task.hpp"

#include <asio/bind_cancellation_slot.hpp>
#include <asio/cancellation_signal.hpp>
#include <asio/co_spawn.hpp>
#include <asio/execution/context.hpp>
#include <asio/execution/relationship.hpp>
#include <asio/io_context.hpp>
#include <asio/post.hpp>
#include <asio/prefer.hpp>
#include <asio/query.hpp>
#include <asio/strand.hpp>
#include <asio/this_coro.hpp>
#include <condition_variable>
#include <mutex>

#include "rt/notify.hpp"
#include "rt/runtime.hpp"

namespace vantorix::rt {

namespace detail {

// Work that a task hands to another task from a worker thread (a wake-up, a completion) is
// a continuation of what that thread is doing: it is queued on the same thread instead of
// waking the other worker, so a received reply, the flow-control wake-up and the next line's
// write run one after the other without a thread switch. Work started from outside the
// runtime still wakes a worker.
asio::io_context::executor_type continuation_executor(asio::io_context& context) {
    return asio::prefer(context.get_executor(), asio::execution::relationship.continuation);
}

struct TaskState {
    explicit TaskState(asio::io_context& context)
        : strand(asio::make_strand(continuation_executor(context))) {}

    asio::strand<asio::io_context::executor_type> strand;
    asio::cancellation_signal abort_signal;  // emitted on `strand` only
    bool abort_requested = false;            // touched on `strand` only

    mutable std::mutex mutex;
    std::condition_variable ended_cv;
    std::optional<TaskEnd> end;  // guarded by mutex
    Notify ended;

    void finish(std::exception_ptr error) {
        TaskEnd how =
            !error ? TaskEnd::COMPLETED : (abort_requested ? TaskEnd::ABORTED : TaskEnd::FAILED);
        {
            std::lock_guard lock(mutex);
            end = how;
        }
        ended_cv.notify_all();
        ended.notify();
    }

    std::optional<TaskEnd> current_end() const {
        std::lock_guard lock(mutex);
        return end;
    }
};

}  // namespace detail

TaskHandle spawn(asio::io_context& context, asio::awaitable<void> body) {
    auto state = std::make_shared<detail::TaskState>(context);
    // The completion handler keeps the state (and with it the signal the coroutine's
    // cancellation is bound to) alive until the coroutine is gone.
    asio::co_spawn(
        state->strand, std::move(body),
        asio::bind_cancellation_slot(state->abort_signal.slot(),
                                     [state](std::exception_ptr error) { state->finish(error); }));
    return TaskHandle(std::move(state));
}

TaskHandle spawn(const asio::any_io_executor& near, asio::awaitable<void> body) {
    auto& context = static_cast<asio::io_context&>(asio::query(near, asio::execution::context));
    return spawn(context, std::move(body));
}

TaskHandle spawn(asio::awaitable<void> body) {
    return spawn(runtime().context(), std::move(body));
}

void TaskHandle::abort() const {
    if (!state_) return;
    // A cancellation signal may only be emitted on the task's own strand.
    asio::post(state_->strand, [state = state_] {
        if (state->current_end()) return;
        state->abort_requested = true;
        state->abort_signal.emit(asio::cancellation_type::terminal);
    });
}

bool TaskHandle::is_finished() const {
    return state_ && state_->current_end().has_value();
}

namespace {
// A free function taking the state by value: the frame must not depend on the handle
// that created it staying alive.
asio::awaitable<TaskEnd> join_state(std::shared_ptr<detail::TaskState> state) {
    for (;;) {
        Notify::Epoch seen = state->ended.epoch();
        if (auto end = state->current_end()) co_return *end;
        co_await state->ended.notified(seen);
    }
}
asio::awaitable<bool> runs_on_strand_of(std::shared_ptr<detail::TaskState> state) {
    auto executor = co_await asio::this_coro::executor;
    const auto* strand = executor.target<asio::strand<asio::io_context::executor_type>>();
    co_return state&& strand != nullptr && *strand == state->strand;
}
}  // namespace

asio::awaitable<TaskEnd> TaskHandle::join() const {
    return join_state(state_);
}

asio::awaitable<bool> TaskHandle::is_current() const {
    return runs_on_strand_of(state_);
}

std::optional<TaskEnd> TaskHandle::wait_for(std::chrono::milliseconds limit) const {
    if (!state_) return std::nullopt;
    std::unique_lock lock(state_->mutex);
    state_->ended_cv.wait_for(lock, limit, [this] { return state_->end.has_value(); });
    return state_->end;
}

}  // namespace vantorix::rt
