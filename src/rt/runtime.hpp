// The shared background runtime: one Asio io_context served by a fixed set of worker
// threads. The process-wide instance is built on first use, stopped at interpreter exit
// and then kept (never destroyed), because strands and timers held by long-lived objects
// may still refer to its context.
#pragma once

#include <chrono>
#include <functional>
#include <memory>

namespace asio {
class io_context;
}  // namespace asio

namespace vantorix::rt {

inline constexpr unsigned WORKER_THREADS = 2;
inline constexpr std::chrono::milliseconds SHUTDOWN_LIMIT{2000};

class Runtime {
  public:
    // Starts the worker threads at once; throws std::system_error when a thread cannot
    // be started (the threads already started are stopped again).
    explicit Runtime(unsigned threads = WORKER_THREADS);
    // Shuts down with the default limit if that has not happened yet. A runtime whose
    // threads did not stop in time is abandoned, not freed, since they still use it.
    ~Runtime();
    Runtime(const Runtime&) = delete;
    Runtime& operator=(const Runtime&) = delete;

    asio::io_context& context();

    // Stops the context (pending work is dropped without running) and waits at most
    // `limit` for the worker threads. Returns whether they all stopped in time. Later
    // calls return the first call's answer without waiting again.
    bool shutdown(std::chrono::milliseconds limit = SHUTDOWN_LIMIT);
    bool is_shut_down() const;

  private:
    struct Impl;
    std::unique_ptr<Impl> impl_;
};

// Callbacks for the layer above (the Python binding): told once the process-wide
// runtime exists, and around its shutdown. Install them before the first use. `built`
// runs while the runtime is being built: it must use its argument, not call `runtime()`.
struct RuntimeHooks {
    std::function<void(Runtime&)> built;
    std::function<void()> before_shutdown;
    std::function<void()> after_shutdown;
};
void set_runtime_hooks(RuntimeHooks hooks);

// The process-wide runtime, built on first call (thread-safe, at most once). When
// building fails, this and every later call throw std::runtime_error; the build is not
// retried. After `shutdown_runtime` it returns the stopped runtime, which runs nothing.
Runtime& runtime();
bool runtime_built();

// Sets the shutdown flag, then stops the process-wide runtime with the 2-second limit.
// Never throws; calls after the first only set the flag again.
void shutdown_runtime() noexcept;
bool shutdown_requested() noexcept;

}  // namespace vantorix::rt
