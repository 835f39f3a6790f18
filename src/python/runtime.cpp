#include "python/runtime.hpp"

#include <unistd.h>

#include <asio/awaitable.hpp>
#include <chrono>
#include <cstdlib>
#include <string>

#include "python/gil.hpp"
#include "rt/duration_text.hpp"
#include "rt/runtime.hpp"
#include "rt/task.hpp"
#include "rt/timeout.hpp"

namespace vantorix::python {
namespace {

using std::chrono::steady_clock;

constexpr std::chrono::seconds WATCHDOG_PERIOD{10};
// The benchmarks sample the attach time more often than every 10 seconds by setting this
// variable to a period in milliseconds; unset or invalid, the period stays 10 seconds.
constexpr const char* WATCHDOG_PERIOD_VARIABLE = "VANTORIX_GIL_WATCHDOG_PERIOD_MS";

steady_clock::duration watchdog_period() {
    const char* text = std::getenv(WATCHDOG_PERIOD_VARIABLE);
    if (text == nullptr) return WATCHDOG_PERIOD;
    char* end = nullptr;
    const long milliseconds = std::strtol(text, &end, 10);
    if (end == text || *end != '\0' || milliseconds <= 0) return WATCHDOG_PERIOD;
    return std::chrono::milliseconds(milliseconds);
}

// Reports every period how long a worker waited for the interpreter lock: a direct
// measure of how quickly background work can reach Python.
asio::awaitable<void> gil_watchdog() {
    const auto start = steady_clock::now();
    const auto period = watchdog_period();
    for (;;) {
        co_await rt::sleep_for(period);
        if (rt::shutdown_requested() || !python_alive()) co_return;
        auto elapsed =
            std::chrono::duration_cast<std::chrono::seconds>(steady_clock::now() - start);
        auto before = steady_clock::now();
        Gil gil;
        auto took = steady_clock::now() - before;
        std::string line = "[gil-watchdog] alive after " + std::to_string(elapsed.count()) +
                           "s (attach took " + rt::format_duration(took) + ")\n";
        // Straight to the process's stderr, not through the logging bridge.
        [[maybe_unused]] ssize_t written = ::write(STDERR_FILENO, line.data(), line.size());
    }
}

PyObject* py_shutdown_runtime(PyObject*, PyObject*) {
    // Workers check this before entering the interpreter, so none starts Python work
    // once the exit hook has run. The lock is released while the workers stop, so one
    // that was already waiting for it can finish its short step instead of holding the
    // shutdown up to its limit.
    mark_python_gone();
    Py_BEGIN_ALLOW_THREADS rt::shutdown_runtime();
    Py_END_ALLOW_THREADS Py_RETURN_NONE;
}

PyMethodDef SHUTDOWN_RUNTIME = {
    "_shutdown_runtime",
    py_shutdown_runtime,
    METH_NOARGS,
    "_shutdown_runtime()\n--\n\n"
    "Tear down the shared background runtime [`runtime::shutdown`]. Called via `atexit`, "
    "before CPython\nfinalizes the interpreter.",
};

}  // namespace

void install_runtime_hooks() {
    rt::set_runtime_hooks(rt::RuntimeHooks{
        .built = [](rt::Runtime& runtime) { rt::spawn(runtime.context(), gil_watchdog()); },
        .before_shutdown = [] { mark_python_gone(); },
        .after_shutdown = {},
    });
}

PyMethodDef* shutdown_runtime_def() {
    return &SHUTDOWN_RUNTIME;
}

}  // namespace vantorix::python
