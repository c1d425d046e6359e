// File: python/test_hooks.cpp
//
// The module `core_test_hooks`, for tests only: built with the C++ tests and
// never installed. No method of `core` releases the interpreter lock yet, so
// this module gives its own copy of `Solver` one that does, `probe`, to hold
// the lock-releasing path of the calling machinery to account.
//
//   probe("held")     -> whether the lock was held while computing
//   probe("wait")     -> whether signal() was called, from another thread,
//                        while computing (waits up to 10 s for it);
//                        waiting() tells that thread when to go ahead
//   probe("throw")    -> a C++ exception thrown while the lock is released
//   probe("no_memory")-> std::bad_alloc thrown while the lock is released
//
// The Python layer, tests only (tests/python/test_lock_release.py).

#include <atomic>
#include <chrono>
#include <new>
#include <stdexcept>
#include <string>
#include <thread>

#include "python/call.h"

namespace anagram {

namespace {

std::atomic<bool> waiting_now{false};
std::atomic<bool> signalled{false};

constexpr Method<TextArg> kProbe{.class_name = "Solver",
                                 .name = "probe",
                                 .doc = "probe($self, action)\n--\n\n",
                                 .params = {"action"},
                                 .required = 1,
                                 .borrow = BorrowKind::shared,
                                 .release_lock = true};

bool wait_for_signal() {
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
  waiting_now = true;
  bool seen = false;
  while (!(seen = signalled.exchange(false)) && std::chrono::steady_clock::now() < deadline) {
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
  waiting_now = false;
  return seen;
}

bool probe_compute(const AnagramSolver&, PollHook, const std::string& action) {
  if (action == "held") return PyGILState_Check() != 0;  // callable without the lock
  if (action == "wait") return wait_for_signal();
  if (action == "no_memory") throw std::bad_alloc();
  throw std::runtime_error("probe failure: " + action);
}

PyObject* bool_to_python(bool value) { return PyBool_FromLong(value); }

PyObject* signal(PyObject*, PyObject*) {
  signalled = true;
  Py_RETURN_NONE;
}

PyObject* waiting(PyObject*, PyObject*) { return PyBool_FromLong(waiting_now); }

PyMethodDef probe_def = method_def<kProbe, probe_compute, bool_to_python>();

PyMethodDef module_functions[] = {
    {"signal", signal, METH_NOARGS, nullptr},
    {"waiting", waiting, METH_NOARGS, nullptr},
    {nullptr, nullptr, 0, nullptr},
};

PyModuleDef hooks_module = {PyModuleDef_HEAD_INIT, "core_test_hooks", "", 0,
                            module_functions, nullptr, nullptr, nullptr, nullptr};

}  // namespace

PyObject* init_test_hooks_module() {
  PyObject* type = get_solver_type();
  if (type == nullptr) return nullptr;
  PyRef probe(PyDescr_NewMethod(reinterpret_cast<PyTypeObject*>(type), &probe_def));
  if (!probe || PyObject_SetAttrString(type, "probe", probe.get()) < 0) return nullptr;
  PyRef module(PyModule_Create(&hooks_module));
  if (!module || PyModule_AddObjectRef(module.get(), "Solver", type) < 0) return nullptr;
  return module.release();
}

}  // namespace anagram

PyMODINIT_FUNC PyInit_core_test_hooks(void) { return anagram::init_test_hooks_module(); }
