// The generic operations that module bodies are written in.  Each is the interpreter's
// operation on the objects given; each throws Raised with the interpreter's (or the
// stated) exception when it fails.  Where an operand is an exact float or a small int,
// some compute directly in double precision, with the interpreter's value, result type
// and exception.
#pragma once

#include <cstdint>
#include <optional>
#include <utility>

#include "binding.h"
#include "tables.h"

namespace frame::ops {

// ---- names ----

// A module-global name and its lookup cache: the value found in the module dictionary,
// used while the dictionary's version tag is unchanged.  The cache borrows the value:
// an unchanged tag means the dictionary still holds it, and a value rebound away is not
// kept alive by the cache of a site that has not run since.
struct GlobalName {
    Ref name;
    std::uint64_t tag = 0;
    PyObject* value = nullptr;
    FunctionSpec* own = nullptr;  // the module's own function of this name, if any
};

// The module dictionary, then the builtins; NameError "name '%U' is not defined".
Ref global(ModuleRuntime& module, GlobalName& g);

// NameError for a builtin that is missing when it is cached.
Ref builtin(ModuleRuntime& module, PyObject* name);

Ref getattr(Obj o, PyObject* name);

// Two keyword or dictionary strings compare equal: same length and characters for exact
// strings, Python's == (and its truth) for anything else.
bool strings_equal(PyObject* a, PyObject* b);

// ---- calls ----

Ref call_vector(Obj f, PyObject* const* args, Py_ssize_t n);
Ref call_tuple(Obj f, PyObject* args);

template <class... A>
Ref call(Obj f, const A&... args) {
    PyObject* argv[sizeof...(A) + 1] = {Obj(args).get()...};
    return call_vector(f, argv, static_cast<Py_ssize_t>(sizeof...(A)));
}

// Calls `f`, the value just found for module global `g`, with positional arguments.
// While it is the module's own function object, its body runs directly, with the same
// result, exception and traceback entries as the call through the object.
template <class... A>
Ref call_found(GlobalName& g, const Ref& f, const A&... args) {
    constexpr int n = static_cast<int>(sizeof...(A));
    PyObject* argv[n + 1] = {Obj(args).get()...};
    if (g.own && f.get() == g.own->rt->object.get() && g.own->nparams == n &&
        g.own->nrequired == n) {
        return call_body(*g.own, f.get(), argv);
    }
    return call_vector(f, argv, n);
}

template <class... A>
Ref call_global(ModuleRuntime& module, GlobalName& g, const A&... args) {
    Ref f = global(module, g);
    return call_found(g, f, args...);
}

// Whether global `g` is, right now, the module's own function of that name.  Only the
// module dictionary is consulted (the builtins never hold the module's functions), and
// a name that is missing is simply not the module's own: this runs no code and raises
// nothing, so that a native pass can ask before the statements would look the name up.
bool is_own(ModuleRuntime& module, GlobalName& g) noexcept;

[[noreturn]] void raise_object(Obj exc);

// ---- arithmetic and comparison ----

Ref add(Obj a, Obj b);
Ref subtract(Obj a, Obj b);
Ref multiply(Obj a, Obj b);
Ref true_divide(Obj a, Obj b);
Ref power(Obj a, Obj b);
Ref bit_and(Obj a, Obj b);

// The same with a double that the body holds as a Python float.
Ref add(double a, Obj b);
Ref subtract(double a, Obj b);
Ref multiply(double a, Obj b);
Ref true_divide(Obj a, double b);

Ref compare(Obj a, Obj b, int op);
bool truth(Obj o);
// a <op> b followed by the truth test of the result, as an `if` does.
bool compare_true(Obj a, Obj b, int op);

// int(o): an exact int unchanged, anything else through the integer conversion.
Ref to_int(Obj o);
Ref from_index(Py_ssize_t i);

// ---- containers ----

Py_ssize_t length(Obj o);
// len(o), or nothing when o has no length: len() raises TypeError (a number, a 0-d
// array).  Any other failure of len() propagates.
std::optional<Py_ssize_t> length_if_sized(Obj o);
Ref getitem(Obj o, Obj key);
Ref getitem_int(Obj o, Py_ssize_t i);
void setitem_int(Obj o, Py_ssize_t i, Obj v);
// o[a:b]
Ref slice2(Obj o, Obj a, Obj b);

// first, second = value
std::pair<Ref, Ref> unpack2(Obj value);

// A `for` loop's walk: a list or tuple by index, anything else through its iterator.
class Iteration {
public:
    explicit Iteration(Obj sequence);
    // The next item, or an empty Ref at the end.
    Ref next();

private:
    Ref sequence_;
    Ref iterator_;
    Py_ssize_t index_ = 0;
};

Ref new_list();
void append(Obj list, Obj item);

}  // namespace frame::ops
