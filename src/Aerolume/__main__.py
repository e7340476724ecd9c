"""`python -m Aerolume`: runs the module script of Aerolume.lumafit.

An extension module has no code object for the runner to execute, so this builds the
module from its definition under a module spec named "__main__", which is what makes
its script run.  It must happen before anything imports Aerolume.lumafit.
"""

import ctypes
import importlib.machinery
import importlib.util
import sys
import types


def main() -> types.ModuleType:
    if "Aerolume.lumafit" in sys.modules:
        raise RuntimeError("Aerolume.lumafit is already imported; its script runs only when "
                           "the module is first made under the name '__main__'")
    found = importlib.util.find_spec("Aerolume.lumafit")
    if found is None or found.origin is None:
        raise ImportError("Aerolume.lumafit is not installed (no compiled module found)")
    library = ctypes.PyDLL(found.origin)
    init = library.PyInit_lumafit
    init.restype = ctypes.py_object
    definition = init()
    # The definition is static memory inside the library: hold one reference that is
    # never released, so that its count can never fall to zero.
    ctypes.pythonapi.Py_IncRef(ctypes.py_object(definition))

    api = ctypes.pythonapi
    api.PyModule_FromDefAndSpec2.argtypes = [ctypes.py_object, ctypes.py_object, ctypes.c_int]
    api.PyModule_FromDefAndSpec2.restype = ctypes.py_object
    api.PyModule_ExecDef.argtypes = [ctypes.py_object, ctypes.py_object]
    api.PyModule_ExecDef.restype = ctypes.c_int

    spec = importlib.machinery.ModuleSpec("__main__", found.loader, origin=found.origin)
    module: types.ModuleType = api.PyModule_FromDefAndSpec2(definition, spec, sys.api_version)
    api.PyModule_ExecDef(module, definition)
    return module


if __name__ == "__main__":
    main()
