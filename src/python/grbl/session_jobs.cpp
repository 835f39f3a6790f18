#include "python/grbl/session_object.hpp"

namespace vantorix::python {

PyMethodDef JOB_METHODS[] = {
    {nullptr, nullptr, 0, nullptr},
};

}  // namespace vantorix::python
