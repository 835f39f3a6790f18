#include "python/gil.hpp"

#include <atomic>
#include <mutex>
#include <vector>

namespace vantorix::python {
namespace {

std::atomic<bool> PYTHON_ALIVE{true};

std::mutex DEFERRED_MUTEX;
std::vector<PyObject*> DEFERRED;
std::atomic<bool> HAS_DEFERRED{false};

}  // namespace

bool python_alive() {
    return PYTHON_ALIVE.load(std::memory_order_acquire);
}

void mark_python_gone() {
    PYTHON_ALIVE.store(false, std::memory_order_release);
}

void keep_thread_state() {
    // One Ensure that is never released keeps the state's use count above zero, so the
    // Release of each Gil only gives the lock back. The interpreter frees the state when
    // it finalizes; by then no worker enters Python any more.
    thread_local bool kept = false;
    if (kept) return;
    kept = true;
    PyGILState_Ensure();
}

void release_deferred() {
    if (!HAS_DEFERRED.load(std::memory_order_acquire)) return;
    std::vector<PyObject*> batch;
    {
        std::lock_guard lock(DEFERRED_MUTEX);
        batch.swap(DEFERRED);
        HAS_DEFERRED.store(false, std::memory_order_release);
    }
    // Decrefs may run finalizers that drop further references; those land in the queue
    // again and wait for the next holder of the lock.
    for (PyObject* object : batch) Py_DECREF(object);
}

void SharedRef::reset() {
    PyObject* object = std::exchange(object_, nullptr);
    if (object == nullptr) return;
    if (python_alive() && PyGILState_Check()) {
        Py_DECREF(object);
        return;
    }
    if (!python_alive()) return;
    std::lock_guard lock(DEFERRED_MUTEX);
    DEFERRED.push_back(object);
    HAS_DEFERRED.store(true, std::memory_order_release);
}

}  // namespace vantorix::python
