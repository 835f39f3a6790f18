#include "python/functions.hpp"
#include "python/grbl/parser_functions.hpp"

namespace vantorix::python {

PyMethodDef LINE_PARSER_FUNCTIONS[] = {
    {nullptr, nullptr, 0, nullptr},
};

}  // namespace vantorix::python
