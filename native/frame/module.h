// Multi-phase initialisation of a module described by a ModuleFrame.
#pragma once

#include "tables.h"

namespace frame {

// The entry point's work: the module definition of `m` (create and exec slots, no
// methods, no per-module state: the state is process-wide), through PyModuleDef_Init.
// One library holds one module.
PyObject* module_init(ModuleFrame& m) noexcept;

// The create slot: one interpreter per process, one module object per process.
PyObject* module_create(ModuleFrame& m, PyObject* spec) noexcept;

// The exec slot: the frame's steps and the module's hooks, in order.
int module_exec(ModuleFrame& m, PyObject* module) noexcept;

// Helpers for the module hooks.
Ref intern(const char* text);
Ref text(const char* utf8);
Ref new_float(double value);
Ref new_int(long value);

// `import name` (level 0): the entry of sys.modules unless it is still initialising.
Ref import_module(Exec& e, PyObject* name);
// `from package import attribute` (level 0).
Ref import_from(Exec& e, PyObject* package, PyObject* attribute);
// Binds a module global.
void bind_global(Exec& e, PyObject* name, Obj value);

}  // namespace frame
