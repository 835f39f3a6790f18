#include "python/grbl/session_object.hpp"

namespace vantorix::python {

PyMethodDef OPERATION_METHODS[] = {
    {nullptr, nullptr, 0, nullptr},
};

}  // namespace vantorix::python
