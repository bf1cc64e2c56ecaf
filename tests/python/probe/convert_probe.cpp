// A test-only extension that exposes the argument converters which no public
// method reaches yet, so that the Python tests can drive them with real
// objects (NumPy booleans among them). Built with the C++ tests, never
// installed.
#include "python/convert.hpp"
#include "python/errors.hpp"

namespace {

using weftory::py::guarded;

PyObject* probe_to_bool(PyObject*, PyObject* arg) {
  return guarded([&] { return PyBool_FromLong(weftory::py::to_bool(arg)); });
}

PyMethodDef kFunctions[] = {
    {"to_bool", probe_to_bool, METH_O, "to_bool(obj)\n--\n\nThe bool argument conversion."},
    {nullptr, nullptr, 0, nullptr},
};

PyModuleDef_Slot kSlots[] = {
#ifdef Py_mod_gil
    {Py_mod_gil, Py_MOD_GIL_NOT_USED},
#endif
    {0, nullptr},
};

PyModuleDef kModule = {PyModuleDef_HEAD_INIT, "_weftory_probe", "", 0, kFunctions, kSlots, nullptr, nullptr, nullptr};

}  // namespace

PyMODINIT_FUNC PyInit__weftory_probe(void) { return PyModuleDef_Init(&kModule); }
