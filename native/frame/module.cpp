#include "module.h"

#include <cstdio>
#include <new>

#include "binding.h"
#include "function.h"
#include "ops.h"

namespace frame {

namespace {

// The registry module that holds the function type shared by every library built on
// this frame; its name carries the frame's version.
constexpr const char* kRegistryName = "_aerolume_frame_1";
constexpr const char* kSharedTypeName = "frame_function";

// ---- create ----

// Sets module attribute `target` from spec attribute `source`; a missing one is skipped.
void copy_spec_attribute(PyObject* spec, PyObject* dict, const char* source, const char* target,
                         bool skip_none) {
    PyObject* value = PyObject_GetAttrString(spec, source);
    if (!value) {
        if (!PyErr_ExceptionMatches(PyExc_AttributeError)) raise_pending();
        PyErr_Clear();
        return;
    }
    Ref owned = Ref::steal(value);
    if (skip_none && value == Py_None) return;
    check_status(PyDict_SetItemString(dict, target, value));
}

Ref create(ModuleFrame& m, PyObject* spec) {
    ModuleRuntime& rt = m.rt;
    const long long current = PyInterpreterState_GetID(PyInterpreterState_Get());
    if (rt.interpreter_id == -1) {
        rt.interpreter_id = current;
        if (current == -1) raise_pending();
    } else if (rt.interpreter_id != current) {
        PyErr_SetString(PyExc_ImportError,
                        "Interpreter change detected - this module can only be loaded into one "
                        "interpreter per process.");
        raise_pending();
    }
    if (rt.module) {
        // The interpreter resets the state pointer of the module create returns, and exec
        // then allocates a fresh one: for the module it already executed, the old block
        // would be lost on every import after the first.
        PyMem_Free(PyModule_GetState(rt.module.get()));
        return rt.module;
    }

    Ref name = check(PyObject_GetAttrString(spec, "name"));
    Ref module = check(PyModule_NewObject(name.get()));
    PyObject* dict = PyModule_GetDict(module.get());
    copy_spec_attribute(spec, dict, "loader", "__loader__", false);
    copy_spec_attribute(spec, dict, "origin", "__file__", false);
    copy_spec_attribute(spec, dict, "parent", "__package__", false);
    copy_spec_attribute(spec, dict, "submodule_search_locations", "__path__", true);
    return module;
}

// ---- exec, steps 3 to 6 ----

void version_check(const ModuleFrame& m) {
    const char* version = Py_GetVersion();
    unsigned long packed = 0;
    int components = 0;
    for (const char* p = version; components < 4; ++components) {
        if (*p < '0' || *p > '9') break;
        unsigned long part = 0;
        while (*p >= '0' && *p <= '9') part = part * 10 + static_cast<unsigned long>(*p++ - '0');
        packed |= (part & 0xFF) << (24 - 8 * components);
        if (*p != '.') {
            ++components;
            break;
        }
        ++p;
    }
    const unsigned long compiled = (PY_MAJOR_VERSION << 24) | (PY_MINOR_VERSION << 16);
    if ((packed >> 16) == (compiled >> 16)) return;
    char message[200];
    std::snprintf(message, sizeof message,
                  "compile time Python version %d.%d of module '%.100s' %s runtime version %d.%d",
                  PY_MAJOR_VERSION, PY_MINOR_VERSION, m.qualified, "does not match",
                  static_cast<int>(packed >> 24), static_cast<int>((packed >> 16) & 0xFF));
    check_status(PyErr_WarnEx(PyExc_RuntimeWarning, message, 1));
}

// The function type of whichever library registered it first, after checking it.
Ref shared_function_type() {
    PyObject* registry = PyImport_AddModule(kRegistryName);  // borrowed
    if (!registry) raise_pending();
    PyObject* found = PyObject_GetAttrString(registry, kSharedTypeName);
    if (found) {
        Ref type = Ref::steal(found);
        if (!PyType_Check(found)) {
            PyErr_Format(PyExc_TypeError, "shared type '%.200s' is not a type object",
                         kSharedTypeName);
            raise_pending();
        }
        auto* shared = reinterpret_cast<PyTypeObject*>(found);
        if (shared->tp_basicsize != static_cast<Py_ssize_t>(sizeof(FunctionObject))) {
            PyErr_Format(PyExc_TypeError, "shared type '%.200s' has the wrong size, try recompiling",
                         kSharedTypeName);
            raise_pending();
        }
        // A type of the right size made by anything but a frame library (a class with as
        // many slots, say) must not be taken for the function type.
        PyTypeObject* own = own_function_type();
        if ((shared->tp_flags & Py_TPFLAGS_HEAPTYPE) ||
            shared->tp_vectorcall_offset != own->tp_vectorcall_offset ||
            shared->tp_dictoffset != own->tp_dictoffset ||
            shared->tp_weaklistoffset != own->tp_weaklistoffset ||
            !(shared->tp_flags & Py_TPFLAGS_HAVE_GC) || shared->tp_call != own->tp_call) {
            PyErr_Format(PyExc_TypeError,
                         "shared type '%.200s' has an incompatible layout, try recompiling",
                         kSharedTypeName);
            raise_pending();
        }
        return type;
    }
    if (!PyErr_ExceptionMatches(PyExc_AttributeError)) raise_pending();
    PyErr_Clear();
    PyTypeObject* own = own_function_type();
    check_status(PyType_Ready(own));
    Ref type = Ref::borrow(reinterpret_cast<PyObject*>(own));
    check_status(PyObject_SetAttrString(registry, kSharedTypeName, type.get()));
    return type;
}

// ---- exec, steps 8 to 15 ----

void register_in_sys_modules(Exec& e) {
    PyObject* modules = PyImport_GetModuleDict();  // borrowed
    ModuleRuntime& rt = e.module.rt;
    int present = check_status(PyDict_Contains(modules, rt.qualified_name.get()));
    if (!present) check_status(PyDict_SetItem(modules, rt.qualified_name.get(), e.module_object));
}

void build_function_runtime(ModuleRuntime& rt, FunctionSpec& spec) {
    const Py_ssize_t n = static_cast<Py_ssize_t>(spec.varnames.size());
    Ref names = check(PyTuple_New(n));
    for (Py_ssize_t i = 0; i < n; ++i) {
        PyTuple_SET_ITEM(names.get(), i, intern(spec.varnames[static_cast<size_t>(i)]).release());
    }
    spec.rt->name = intern(spec.method.ml_name);
    spec.rt->code = make_code(rt.parts, spec.nparams, names.get(), rt.filename.get(),
                              spec.rt->name.get(), spec.def_line);
    spec.rt->varnames = std::move(names);
    spec.rt->qualname = intern(spec.qualname);
}

void define_functions(Exec& e) {
    ModuleRuntime& rt = e.module.rt;
    for (FunctionSpec& spec : e.module.functions) {
        e.at(spec.def_line);
        Ref f = new_function(rt.function_type.get(), spec, nullptr, rt.qualified_name.get(),
                             rt.dict.get());
        check_status(PyDict_SetItem(rt.dict.get(), spec.rt->name.get(), f.get()));
        spec.rt->object = std::move(f);
    }
}

void run_exec(Exec& e) {
    ModuleFrame& m = e.module;
    ModuleRuntime& rt = m.rt;
    // Step 2.
    rt.module = Ref::borrow(e.module_object);
    rt.dict = Ref::borrow(PyModule_GetDict(e.module_object));
    // Step 3.
    rt.builtins = Ref::borrow(PyImport_AddModule("builtins"));
    if (!rt.builtins) raise_pending();
    check_status(PyObject_SetAttrString(e.module_object, "__builtins__", rt.builtins.get()));
    // Step 4.
    version_check(m);
    // Step 5.
    rt.parts.empty_tuple = check(PyTuple_New(0));
    rt.parts.empty_bytes = check(PyBytes_FromStringAndSize("", 0));
    rt.parts.empty_str = check(PyUnicode_FromStringAndSize("", 0));
    // Step 6.
    rt.function_type = shared_function_type();
    // Step 7.
    rt.qualified_name = intern(m.qualified);
    rt.filename = text(m.filename);
    rt.test_name = intern("__test__");
    m.hooks.interned();
    // Step 8: from here on, failures report the module's own line.
    e.traced = true;
    e.at(1);
    register_in_sys_modules(e);
    // Step 9.
    m.hooks.builtins(e);
    // Step 10.
    for (FunctionSpec& spec : m.functions) build_function_runtime(rt, spec);
    for (FunctionSpec& spec : m.inner) build_function_runtime(rt, spec);
    m.hooks.tables(e);
    // Steps 11 and 12.
    m.hooks.imports(e);
    // Step 13.
    define_functions(e);
    // Step 14.
    if (m.hooks.script) m.hooks.script(e);
    // Step 15.
    e.at(1);
    Ref test = check(PyDict_New());
    bind_global(e, rt.test_name.get(), test);
}

}  // namespace

namespace {

// The one module of this library (every library built on the frame has its own copy).
ModuleFrame* library_module = nullptr;

PyObject* create_slot(PyObject* spec, PyModuleDef*) noexcept {
    return module_create(*library_module, spec);
}

int exec_slot(PyObject* module) noexcept { return module_exec(*library_module, module); }

PyMethodDef no_methods[] = {{nullptr, nullptr, 0, nullptr}};

}  // namespace

PyObject* module_init(ModuleFrame& m) noexcept {
    if (!library_module) {
        library_module = &m;
        m.slots[0] = {Py_mod_create, reinterpret_cast<void*>(create_slot)};
        m.slots[1] = {Py_mod_exec, reinterpret_cast<void*>(exec_slot)};
#if PY_VERSION_HEX >= 0x030C0000
        // The module state is process-wide: an interpreter that checks its extensions
        // refuses the import in a subinterpreter before create runs.
        m.slots[2] = {Py_mod_multiple_interpreters, Py_MOD_MULTIPLE_INTERPRETERS_NOT_SUPPORTED};
#endif
        m.definition = {PyModuleDef_HEAD_INIT, m.name, nullptr, 0, no_methods, m.slots,
                        nullptr, nullptr, nullptr};
    }
    return PyModuleDef_Init(&m.definition);
}

PyObject* module_create(ModuleFrame& m, PyObject* spec) noexcept {
    try {
        return create(m, spec).release();
    } catch (const Raised&) {
    } catch (const std::bad_alloc&) {
        PyErr_NoMemory();
    }
    return nullptr;
}

int module_exec(ModuleFrame& m, PyObject* module) noexcept {
    ModuleRuntime& rt = m.rt;
    if (rt.module) {
        if (rt.module.get() == module) return 0;
        PyErr_Format(PyExc_RuntimeError,
                     "Module '%s' has already been imported. Re-initialisation is not supported.",
                     m.name);
        return -1;
    }
    Exec e{m, module};
    try {
        run_exec(e);
        return 0;
    } catch (const Raised&) {
        if (!PyErr_Occurred()) PyErr_SetString(PyExc_SystemError, "error return without exception set");
    } catch (const std::bad_alloc&) {
        PyErr_NoMemory();
    }
    if (e.traced) add_traceback(rt.tracebacks, rt.dict.get(), m.filename, m.init_name, e.line);
    rt.module.reset();
    rt.dict.reset();
    return -1;
}

Ref intern(const char* text) { return check(PyUnicode_InternFromString(text)); }

Ref text(const char* utf8) { return check(PyUnicode_FromString(utf8)); }

Ref new_float(double value) { return check(PyFloat_FromDouble(value)); }

Ref new_int(long value) { return check(PyLong_FromLong(value)); }

Ref import_module(Exec& e, PyObject* name) {
    ModuleRuntime& rt = e.module.rt;
    PyObject* existing = PyDict_GetItemWithError(PyImport_GetModuleDict(), name);  // borrowed
    // A None entry blocks the import: the import function raises the interpreter's
    // ModuleNotFoundError for it, as the import statement does.
    if (existing && existing != Py_None) {
        Ref module = Ref::borrow(existing);
        bool initialising = false;
        PyObject* spec = PyObject_GetAttrString(existing, "__spec__");
        if (spec) {
            Ref owned = Ref::steal(spec);
            PyObject* flag = PyObject_GetAttrString(spec, "_initializing");
            if (flag) {
                Ref owned_flag = Ref::steal(flag);
                initialising = ops::truth(flag);
            } else {
                PyErr_Clear();
            }
        } else {
            PyErr_Clear();
        }
        if (!initialising) return module;
    } else if (!existing && PyErr_Occurred()) {
        raise_pending();
    }
    Ref locals = check(PyDict_New());
    return check(PyImport_ImportModuleLevelObject(name, rt.dict.get(), locals.get(), nullptr, 0));
}

Ref import_from(Exec& e, PyObject* package, PyObject* attribute) {
    ModuleRuntime& rt = e.module.rt;
    Ref locals = check(PyDict_New());
    Ref fromlist = check(PyList_New(1));
    PyList_SET_ITEM(fromlist.get(), 0, Ref::borrow(attribute).release());
    Ref module = check(
        PyImport_ImportModuleLevelObject(package, rt.dict.get(), locals.get(), fromlist.get(), 0));
    PyObject* value = PyObject_GetAttr(module.get(), attribute);
    if (value) return Ref::steal(value);
    if (!PyErr_ExceptionMatches(PyExc_AttributeError)) raise_pending();
    PyErr_Clear();
    PyObject* module_name = PyModule_Check(module.get()) ? PyModule_GetNameObject(module.get())
                                                         : PyObject_GetAttrString(module.get(), "__name__");
    if (module_name) {
        Ref owned_name = Ref::steal(module_name);
        Ref full = check(PyUnicode_FromFormat("%U.%U", module_name, attribute));
        PyObject* entry = PyDict_GetItemWithError(PyImport_GetModuleDict(), full.get());
        if (entry) return Ref::borrow(entry);
        if (PyErr_Occurred()) raise_pending();
    } else {
        PyErr_Clear();
    }
    PyErr_Format(PyExc_ImportError, "cannot import name %S", attribute);
    raise_pending();
}

void bind_global(Exec& e, PyObject* name, Obj value) {
    check_status(PyDict_SetItem(e.module.rt.dict.get(), name, value.get()));
}

}  // namespace frame
