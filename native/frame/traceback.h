// Traceback entries for failures that leave a module frame.
#pragma once

#include <vector>

#include "ref.h"

namespace frame {

// The code objects of earlier entries, sorted by (reporting function, line), so that
// repeated failures at one place reuse one code object.  It starts with room for 64
// entries and grows by 64; it lives as long as the process.
class TracebackTable {
public:
    // The code object for `function` at `line`, made and remembered on first use.
    // Returns null, with an exception set, if it cannot be made.
    PyObject* code_for(const char* filename, const char* function, int line, Ref& unremembered);

private:
    struct Entry {
        const char* function;
        int line;
        Ref code;
    };
    std::vector<Entry> entries_;
};

// Appends an entry (function name, file name, line) to the pending exception's
// traceback, with `globals` as the frame's globals.  Never raises: if the entry cannot
// be made, the exception being reported stays pending as it was.
void add_traceback(TracebackTable& table, PyObject* globals, const char* filename,
                   const char* function, int line) noexcept;

}  // namespace frame
