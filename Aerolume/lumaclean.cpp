// placeholder
#include <Python.h>
PyMODINIT_FUNC PyInit_lumaclean(void);
static PyModuleDef definition = {PyModuleDef_HEAD_INIT, "lumaclean", nullptr, 0, nullptr, nullptr, nullptr, nullptr, nullptr};
PyMODINIT_FUNC PyInit_lumaclean(void) { return PyModuleDef_Init(&definition); }
