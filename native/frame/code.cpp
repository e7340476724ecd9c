#include "code.h"

namespace frame {

namespace {
constexpr int kOptimizedNewLocals = CO_OPTIMIZED | CO_NEWLOCALS;
}

Ref make_code(const CodeParts& parts, int argcount, PyObject* varnames, PyObject* filename,
              PyObject* name, int first_line) {
    const int nlocals = static_cast<int>(PyTuple_GET_SIZE(varnames));
    PyObject* empty = parts.empty_tuple.get();
#if PY_VERSION_HEX >= 0x030C0000
    PyCodeObject* code = PyUnstable_Code_NewWithPosOnlyArgs(
        argcount, 0, 0, nlocals, 0, kOptimizedNewLocals, parts.empty_bytes.get(), empty, empty,
        varnames, empty, empty, filename, name, name, first_line, parts.empty_bytes.get(),
        parts.empty_bytes.get());
#elif PY_VERSION_HEX >= 0x030B0000
    PyCodeObject* code = PyCode_NewWithPosOnlyArgs(
        argcount, 0, 0, nlocals, 0, kOptimizedNewLocals, parts.empty_bytes.get(), empty, empty,
        varnames, empty, empty, filename, name, name, first_line, parts.empty_bytes.get(),
        parts.empty_bytes.get());
#else
    PyCodeObject* code = PyCode_NewWithPosOnlyArgs(
        argcount, 0, 0, nlocals, 0, kOptimizedNewLocals, parts.empty_bytes.get(), empty, empty,
        varnames, empty, empty, filename, name, first_line, parts.empty_bytes.get());
#endif
    return check(reinterpret_cast<PyObject*>(code));
}

}  // namespace frame
