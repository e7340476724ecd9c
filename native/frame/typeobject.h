// A zeroed static type object, to be filled in slot by slot.
#pragma once

#include <cstring>

#include "ref.h"

namespace frame {

inline PyTypeObject blank_type() noexcept {
    PyTypeObject t;
    std::memset(static_cast<void*>(&t), 0, sizeof t);
    Py_SET_REFCNT(reinterpret_cast<PyObject*>(&t), 1);
    return t;
}

}  // namespace frame
