#include "traceback.h"

#include <frameobject.h>

#include <functional>
#include <new>

namespace frame {

namespace {

constexpr size_t kGrowth = 64;

// Entries are ordered by the address of the reporting function's name, then by line.
bool entry_before(const char* fa, int la, const char* fb, int lb) {
    if (fa != fb) return std::less<const char*>()(fa, fb);
    return la < lb;
}

// An empty code object carrying the name, file and line.
Ref new_entry_code(const char* filename, const char* function, int line) {
    return Ref::steal(reinterpret_cast<PyObject*>(PyCode_NewEmpty(filename, function, line)));
}

}  // namespace

PyObject* TracebackTable::code_for(const char* filename, const char* function, int line,
                                   Ref& unremembered) {
    size_t lo = 0, hi = entries_.size();
    while (lo < hi) {
        size_t mid = (lo + hi) / 2;
        const Entry& e = entries_[mid];
        if (entry_before(e.function, e.line, function, line)) {
            lo = mid + 1;
        } else {
            hi = mid;
        }
    }
    if (lo < entries_.size() && entries_[lo].function == function && entries_[lo].line == line) {
        return entries_[lo].code.get();
    }
    Ref code = new_entry_code(filename, function, line);
    if (!code) return nullptr;
    try {
        if (entries_.size() == entries_.capacity()) entries_.reserve(entries_.capacity() + kGrowth);
        auto at = entries_.insert(entries_.begin() + static_cast<std::ptrdiff_t>(lo),
                                  Entry{function, line, std::move(code)});
        return at->code.get();
    } catch (const std::bad_alloc&) {
        // The table cannot grow: the entry still gets its code object, just not remembered.
        unremembered = std::move(code);
        return unremembered.get();
    }
}

void add_traceback(TracebackTable& table, PyObject* globals, const char* filename,
                   const char* function, int line) noexcept {
    Ref unremembered, frame;
    {
        // The code object and the frame are made with the exception set aside, as the
        // interpreter's own C-level entries are: the frame looks up the builtins of
        // `globals`, which fails while an exception is pending when they are not there.
        ExceptionAside reported;
        PyObject* code = table.code_for(filename, function, line, unremembered);
        if (!code || !globals) return;
        frame = Ref::steal(reinterpret_cast<PyObject*>(PyFrame_New(
            PyThreadState_Get(), reinterpret_cast<PyCodeObject*>(code), globals, nullptr)));
        if (!frame) return;
#if PY_VERSION_HEX < 0x030B0000
        reinterpret_cast<PyFrameObject*>(frame.get())->f_lineno = line;
#endif
    }
    PyTraceBack_Here(reinterpret_cast<PyFrameObject*>(frame.get()));
}

}  // namespace frame
