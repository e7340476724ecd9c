// Tables that describe a module to the frame: its functions and its module-level steps.
#pragma once

#include <span>

#include "code.h"
#include "traceback.h"

namespace frame {

struct FunctionObject;
struct ModuleFrame;

// The statement a body is executing, so that a failure reports its source line.
struct Call {
    int line;
    void operator()(int source_line) noexcept { line = source_line; }
};

// A function body: the bound arguments in parameter order (borrowed), the result owned.
using Body = Ref (*)(Call& line, FunctionObject* self, PyObject* const* args);

inline constexpr int kMaxParameters = 8;

// What exec builds for each function and what its calls read.
struct FunctionRuntime {
    Ref name;      // interned function name
    Ref varnames;  // interned parameter and local names, parameters first
    Ref code;      // the function's code object
    Ref qualname;  // interned qualified name
    Ref defaults;  // values of the optional parameters, fixed when the module is built
    Ref object;    // the function object exec bound in the module namespace
};

struct FunctionSpec {
    // First member: a function object reaches its spec through its method entry.
    PyMethodDef method;
    ModuleFrame* module;
    const char* qualname;    // "fit_func", "rayleigh_fit.<locals>.<lambda>"
    const char* trace_name;  // "Aerolume.lumafit.fit_func"
    int def_line;
    int nparams;
    int nrequired;
    std::span<const char* const> varnames;  // parameters, then locals
    Body body;
    Forever<FunctionRuntime> rt;
};

// Reaches the function table entry that a method entry belongs to.
inline FunctionSpec& spec_of(PyMethodDef* method) noexcept {
    return *reinterpret_cast<FunctionSpec*>(method);
}

// Module execution in progress: the statement line and whether failures report it.
struct Exec {
    ModuleFrame& module;
    PyObject* module_object;
    bool traced = false;
    int line = 1;
    void at(int source_line) noexcept { line = source_line; }
};

// Process-wide state of one module that the frame itself keeps.
struct ModuleRuntime {
    Ref module;  // empty before the first exec and after a failed one
    Ref dict;
    Ref builtins;
    long long interpreter_id = -1;
    CodeParts parts;
    Ref function_type;
    Ref qualified_name;
    Ref filename;
    Ref test_name;  // "__test__"
    TracebackTable tracebacks;
};

// Hooks through which a module adds its own steps to exec, each throwing Raised.
struct ModuleHooks {
    void (*interned)();          // interned strings and numeric constants
    void (*builtins)(Exec&);     // the cached builtins
    void (*tables)(Exec&);       // constant tuples and the module's own types
    void (*imports)(Exec&);      // the import statements
    void (*script)(Exec&);       // the module script, or null
};

struct ModuleFrame {
    const char* name;       // "lumafit"
    const char* qualified;  // "Aerolume.lumafit"
    const char* filename;   // "Aerolume\\lumafit"
    const char* init_name;  // "init Aerolume.lumafit"
    std::span<FunctionSpec> functions;  // public functions, in source order
    std::span<FunctionSpec> inner;      // functions made by bodies
    ModuleHooks hooks;
    ModuleRuntime& rt;
    // The module definition handed to the interpreter, made by module_init.
    PyModuleDef definition{};
    PyModuleDef_Slot slots[4]{};
};

}  // namespace frame
