// Construction of the code objects that describe the modules' functions.
#pragma once

#include "ref.h"

namespace frame {

// Empty strings, bytes and tuple shared by every code object of one module.
struct CodeParts {
    Ref empty_tuple;
    Ref empty_bytes;
    Ref empty_str;
};

// A code object with no bytecode: positional parameter count `argcount`, the variable
// names (parameters first), the flags optimised | new-locals and the given first line.
Ref make_code(const CodeParts& parts, int argcount, PyObject* varnames, PyObject* filename,
              PyObject* name, int first_line);

}  // namespace frame
