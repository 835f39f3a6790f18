#include "python/logging.hpp"

#include "log/sink.hpp"
#include "python/args.hpp"
#include "python/functions.hpp"

namespace vantorix::python {
namespace {

PyObject* py_init_logging(PyObject*, PyObject* args, PyObject* kwargs) {
    return guarded_object([&] {
        static const char* const KEYWORDS[] = {"filter", "path", nullptr};
        PyObject* filter = Py_None;
        PyObject* path = Py_None;
        parse_arguments(args, kwargs, "|OO:init_logging", KEYWORDS, &filter, &path);
        std::optional<std::string> filter_text = to_optional_string(filter, "filter");
        std::optional<std::string> path_text = to_optional_string(path, "path");
        log::init_logging(filter_text, path_text);
        return none();
    });
}

PyMethodDef INIT_LOGGING = {
    "init_logging",
    as_cfunction(py_init_logging),
    METH_VARARGS | METH_KEYWORDS,
    "init_logging(filter=None, path=None)\n--\n\n"
    "Initialise the module's logger so that session diagnostics reach standard error or, "
    "when *path* is given, a dedicated log file opened in append mode. The filter defaults "
    "to \"warn\" and takes the env-style syntax (\"target=level,level/regex\"); the "
    "VANTORIX_LOG environment variable, when set, always wins over *filter*. Calling it "
    "again re-targets the output and replaces the filter.",
};

}  // namespace

PyMethodDef* init_logging_def() {
    return &INIT_LOGGING;
}

}  // namespace vantorix::python
