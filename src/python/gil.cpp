#include "python/gil.hpp"

#include <atomic>

namespace vantorix::python {
namespace {
std::atomic<bool> PYTHON_ALIVE{true};
}  // namespace

bool python_alive() { return PYTHON_ALIVE.load(std::memory_order_acquire); }

void mark_python_gone() { PYTHON_ALIVE.store(false, std::memory_order_release); }

}  // namespace vantorix::python
