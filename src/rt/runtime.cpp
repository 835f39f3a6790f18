#include "rt/runtime.hpp"

#include <cxxabi.h>

#include <asio/executor_work_guard.hpp>
#include <asio/io_context.hpp>
#include <atomic>
#include <condition_variable>
#include <mutex>
#include <optional>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "log/facade.hpp"

namespace vantorix::rt {

namespace {
constexpr const char* TARGET = "vantorix::rt";
}  // namespace

struct Runtime::Impl {
    asio::io_context io;
    std::optional<asio::executor_work_guard<asio::io_context::executor_type>> keep_alive;
    std::vector<std::thread> threads;
    std::mutex mutex;
    std::condition_variable stopped;
    std::vector<bool> finished;
    std::optional<bool> shutdown_result;

    void serve(std::size_t index) {
        // A handler that throws must not take a worker down with it: every other session
        // depends on the same two threads.
        for (;;) {
            try {
                io.run();
                break;
            } catch (abi::__forced_unwind&) {
                // The interpreter ends this thread (it took the GIL during finalisation);
                // swallowing the unwind would abort the process.
                throw;
            } catch (const std::exception& e) {
                log::error(TARGET, "Unhandled exception in a runtime worker: {}", e.what());
            } catch (...) {
                log::error(TARGET, "Unhandled exception in a runtime worker: {}",
                           "unknown exception");
            }
        }
        std::lock_guard lock(mutex);
        finished[index] = true;
        stopped.notify_all();
    }

    bool stop_and_join(std::chrono::milliseconds limit) {
        std::unique_lock lock(mutex);
        if (shutdown_result) return *shutdown_result;
        keep_alive.reset();
        io.stop();
        bool all = stopped.wait_for(lock, limit, [this] {
            for (bool done : finished)
                if (!done) return false;
            return true;
        });
        std::vector<bool> done = finished;
        lock.unlock();
        for (std::size_t i = 0; i < threads.size(); ++i) {
            if (!threads[i].joinable()) continue;
            if (done[i]) {
                threads[i].join();
            } else {
                threads[i].detach();
            }
        }
        lock.lock();
        shutdown_result = all;
        return all;
    }
};

namespace {
// Runtimes whose threads outlived the shutdown limit; kept reachable for the rest of
// the process because those threads may still touch them.
std::mutex ABANDONED_MUTEX;
std::vector<void*>* ABANDONED = nullptr;

void abandon(void* impl) {
    std::lock_guard lock(ABANDONED_MUTEX);
    if (ABANDONED == nullptr) ABANDONED = new std::vector<void*>();
    ABANDONED->push_back(impl);
}
}  // namespace

Runtime::Runtime(unsigned threads) : impl_(std::make_unique<Impl>()) {
    impl_->keep_alive.emplace(impl_->io.get_executor());
    impl_->finished.assign(threads, false);
    impl_->threads.reserve(threads);
    try {
        for (unsigned i = 0; i < threads; ++i) {
            impl_->threads.emplace_back([impl = impl_.get(), i] { impl->serve(i); });
        }
    } catch (...) {
        for (std::size_t i = impl_->threads.size(); i < threads; ++i) impl_->finished[i] = true;
        impl_->stop_and_join(SHUTDOWN_LIMIT);
        throw;
    }
}

Runtime::~Runtime() {
    if (!impl_) return;
    if (!impl_->stop_and_join(SHUTDOWN_LIMIT)) abandon(impl_.release());
}

asio::io_context& Runtime::context() {
    return impl_->io;
}

bool Runtime::shutdown(std::chrono::milliseconds limit) {
    return impl_->stop_and_join(limit);
}

bool Runtime::is_shut_down() const {
    std::lock_guard lock(impl_->mutex);
    return impl_->shutdown_result.has_value();
}

namespace {

struct Global {
    std::once_flag once;
    Runtime* runtime = nullptr;  // never deleted
    std::string failure;
    RuntimeHooks hooks;
    std::mutex mutex;  // guards `runtime` for shutdown and is held for its whole wait
};

Global& global() {
    static Global* instance = new Global();
    return *instance;
}

std::atomic<bool> SHUTDOWN{false};
std::atomic<bool> SHUTDOWN_STARTED{false};
std::atomic<bool> BUILT{false};

}  // namespace

void set_runtime_hooks(RuntimeHooks hooks) {
    Global& g = global();
    std::lock_guard lock(g.mutex);
    g.hooks = std::move(hooks);
}

Runtime& runtime() {
    Global& g = global();
    std::call_once(g.once, [&g] {
        try {
            g.runtime = new Runtime(WORKER_THREADS);
        } catch (const std::exception& e) {
            g.failure = e.what();
            return;
        }
        std::function<void(Runtime&)> built;
        {
            std::lock_guard lock(g.mutex);
            built = g.hooks.built;
        }
        if (built) built(*g.runtime);
        BUILT.store(true);
    });
    if (g.runtime == nullptr) {
        throw std::runtime_error("cannot build the background runtime: " + g.failure);
    }
    return *g.runtime;
}

bool runtime_built() {
    return BUILT.load();
}

void shutdown_runtime() noexcept {
    SHUTDOWN.store(true);
    if (SHUTDOWN_STARTED.exchange(true)) return;
    Global& g = global();
    std::function<void()> before;
    std::function<void()> after;
    {
        std::lock_guard lock(g.mutex);
        before = g.hooks.before_shutdown;
        after = g.hooks.after_shutdown;
    }
    try {
        if (before) before();
        {
            std::lock_guard lock(g.mutex);
            if (BUILT.load() && g.runtime != nullptr) g.runtime->shutdown(SHUTDOWN_LIMIT);
        }
        if (after) after();
    } catch (...) {
        // Shutting down runs at interpreter exit; there is nobody left to report to.
    }
}

bool shutdown_requested() noexcept {
    return SHUTDOWN.load();
}

}  // namespace vantorix::rt
