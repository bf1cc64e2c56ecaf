// A test-only extension for what the Python tests cannot reach through the
// public module: the argument converters that no public method uses yet, a
// store whose mutex is poisoned, and allocations that fail on demand. It is
// a module of its own, with its own GraphStore and PayloadDescriptor classes
// compiled from the same sources as weftory_core. Built with the C++ tests,
// never installed.
#include "python/convert.hpp"
#include "python/errors.hpp"
#include "python/graph_store.hpp"
#include "python/incremental_reducer.hpp"

#ifdef WEFTORY_PROBE_FAILING_ALLOC
namespace weftory::probe {
PyObject* fail_allocation(PyObject*, PyObject* arg);
PyObject* allocations(PyObject*, PyObject*);
}  // namespace weftory::probe
#endif

namespace {

using weftory::py::entry_point;

PyObject* probe_to_bool(PyObject*, PyObject* arg) {
  return entry_point([&] { return PyBool_FromLong(weftory::py::to_bool(arg)); });
}

// poison(store, reason): fails an operation while it holds the store's mutex,
// the way a broken invariant inside the store would. Raises PanicException
// with the reason; every later operation on the store finds the mutex poisoned.
PyObject* probe_poison(PyObject* module, PyObject* args) {
  return entry_point([&]() -> PyObject* {
    PyObject* store = nullptr;
    const char* reason = nullptr;
    if (!PyArg_ParseTuple(args, "Os:poison", &store, &reason)) weftory::py::throw_python_error();
    auto& state = *static_cast<weftory::py::ModuleState*>(PyModule_GetState(module));
    if (!PyObject_TypeCheck(store, state.graph_store_type)) weftory::py::raise_type_mismatch(store, "GraphStore");
    weftory::py::store_of(store).read_locked(
        [&](const auto&, const auto&) -> int { weftory::support::fatal(reason); });
    Py_RETURN_NONE;
  });
}

// poison_reducer(reducer, reason): the same for one of this module's
// IncrementalReducer objects, failing while it holds the reducer's mutex.
PyObject* probe_poison_reducer(PyObject* module, PyObject* args) {
  return entry_point([&]() -> PyObject* {
    PyObject* reducer = nullptr;
    const char* reason = nullptr;
    if (!PyArg_ParseTuple(args, "Os:poison_reducer", &reducer, &reason)) weftory::py::throw_python_error();
    auto& state = *static_cast<weftory::py::ModuleState*>(PyModule_GetState(module));
    if (!PyObject_TypeCheck(reducer, state.incremental_reducer_type)) {
      weftory::py::raise_type_mismatch(reducer, "IncrementalReducer");
    }
    weftory::py::reducer_of(reducer).with_state(
        [&](weftory::optimizer::IncrementalState&) -> int { weftory::support::fatal(reason); });
    Py_RETURN_NONE;
  });
}

PyMethodDef kFunctions[] = {
    {"to_bool", probe_to_bool, METH_O, "to_bool(obj)\n--\n\nThe bool argument conversion."},
    {"poison", probe_poison, METH_VARARGS,
     "poison(store, reason)\n--\n\nPoisons the mutex of one of this module's GraphStore objects."},
    {"poison_reducer", probe_poison_reducer, METH_VARARGS,
     "poison_reducer(reducer, reason)\n--\n\nPoisons the mutex of one of this module's IncrementalReducer objects."},
#ifdef WEFTORY_PROBE_FAILING_ALLOC
    {"fail_allocation", weftory::probe::fail_allocation, METH_O,
     "fail_allocation(k)\n--\n\nMakes the k-th allocation of this module's code from now on fail, once; 0 disarms.\n"
     "Returns how many allocations the previous arming still had to go."},
    {"allocations", weftory::probe::allocations, METH_NOARGS,
     "allocations()\n--\n\nHow many allocations this module's code has made so far."},
#endif
    {nullptr, nullptr, 0, nullptr},
};

PyModuleDef_Slot kSlots[] = {
    {Py_mod_exec, reinterpret_cast<void*>(weftory::py::exec_module_state)},
#if PY_VERSION_HEX >= 0x030C0000
    {Py_mod_multiple_interpreters, Py_MOD_MULTIPLE_INTERPRETERS_NOT_SUPPORTED},
#endif
#ifdef Py_mod_gil
    {Py_mod_gil, Py_MOD_GIL_NOT_USED},
#endif
    {0, nullptr},
};

PyModuleDef kModule = {
    PyModuleDef_HEAD_INIT,
    "_weftory_probe",
    "",
    sizeof(weftory::py::ModuleState),
    kFunctions,
    kSlots,
    weftory::py::traverse_module_state,
    weftory::py::clear_module_state,
    weftory::py::free_module_state,
};

}  // namespace

PyMODINIT_FUNC PyInit__weftory_probe(void) { return PyModuleDef_Init(&kModule); }
