// File: python/module.cpp
//
// The module entry: PyInit_core, the only symbol the shared object exports.
//
// The Python layer. Tested by tests/python/test_module_surface.py.

#include <cstdint>

#include "python/ref.h"
#include "python/solver.h"

namespace anagram {

namespace {

// Everything here is touched with the interpreter lock held, and lives until
// the process ends.
PyObject* module_object = nullptr;
constexpr int64_t kNoInterpreter = -1;
int64_t bound_interpreter = kNoInterpreter;

constexpr int kModuleApiVersion = 1013;

// m_size 0 rather than -1: on a later import (after removal from sys.modules,
// or from another interpreter) the interpreter then calls PyInit_core again
// instead of copying the first module's dict, so the checks below run.
PyModuleDef core_module = {PyModuleDef_HEAD_INIT, "core", "", 0,
                           nullptr, nullptr, nullptr, nullptr, nullptr};

// The module's objects belong to the first interpreter that imported it.
bool bind_to_interpreter() {
  int64_t id = PyInterpreterState_GetID(PyInterpreterState_Get());
  if (id == -1) {
    if (!PyErr_Occurred()) {
      PyErr_SetString(PyExc_SystemError, "attempted to fetch exception but none was set");
    }
    return false;
  }
  if (bound_interpreter == kNoInterpreter) bound_interpreter = id;
  if (bound_interpreter != id) {
    PyErr_SetString(PyExc_ImportError,
                    "core: sub-interpreters are not supported; the module is bound to the "
                    "interpreter that imported it first");
    return false;
  }
  return true;
}

PyRef create_module() {
  PyRef module(PyModule_Create2(&core_module, kModuleApiVersion));
  if (!module) return module;
  PyObject* type = get_solver_type();
  if (type == nullptr || PyModule_AddObjectRef(module.get(), "Solver", type) < 0) return PyRef();
  return module;
}

}  // namespace

PyObject* init_core_module() {
  if (!bind_to_interpreter()) return nullptr;
  if (module_object == nullptr) {
    PyRef module = create_module();
    if (!module) return nullptr;
    module_object = module.release();  // kept for the life of the process
  }
  return Py_NewRef(module_object);
}

}  // namespace anagram

PyMODINIT_FUNC PyInit_core(void) { return anagram::init_core_module(); }
