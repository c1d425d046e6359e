// File: python/iterator.cpp
//
// The SolveIterator type of iter_solve (python/iterator.h).
// The Python layer. Tested by tests/python/test_iter_solve.py.
#include "python/iterator.h"

#include <algorithm>
#include <atomic>
#include <memory>
#include <mutex>
#include <new>
#include <vector>

#include "python/call.h"
#include "python/failure.h"

namespace anagram {

namespace {

PyObject* iterator_type = nullptr;

// Solutions a batch starts with and grows to: the first item comes as soon
// as it is found (the next ones may be far apart, on long phrases), later
// batches are big enough that giving up and taking back the lock is lost in
// the work.
constexpr size_t kFirstBatch = 1;
constexpr size_t kLargestBatch = 8192;

struct IteratorState {
  IteratorState(SolutionStream&& s, std::vector<PyRef>&& w) noexcept : stream(std::move(s)), words(std::move(w)) {}

  // Held for the whole of one __next__; taken without the interpreter lock,
  // so a second thread waits for the first one's batch instead of blocking it.
  std::mutex busy;
  SolutionStream stream;
  RowBatch batch;
  size_t run = 0, row = 0;   // the next solution in `batch`
  size_t batch_size = kFirstBatch;
  std::vector<PyRef> words;  // one str per word number, made on first use
  // Set by cancel(), from any thread: the batch in progress stops at once.
  std::atomic<bool> cancelled{false};
};

struct PySolveIterator {
  PyObject_HEAD
  IteratorState state;  // built in place after tp_alloc, destroyed by dealloc
};

IteratorState& as_iterator(PyObject* object) { return reinterpret_cast<PySolveIterator*>(object)->state; }

bool batch_left(const IteratorState& it) { return it.run < it.batch.blocks.size(); }

// Computes the next batch without the lock; Ctrl-C stops it with the
// KeyboardInterrupt pending. The hook looks for signals only once a batch
// has run for a while, and most batches end sooner: so the signals are also
// checked after each one, else a caller that never runs bytecode between
// items (deque, sum) could not be stopped. The batch is kept for the next call.
void refill(IteratorState& it) {
  it.batch.clear();
  it.run = it.row = 0;
  {
    LockRelease unlocked;
    it.stream.next_batch(it.batch, it.batch_size, unlocked.poll_hook(&it.cancelled));
  }
  it.batch_size = std::min(it.batch_size * 2, kLargestBatch);
  if (!PyErr_Occurred()) PyErr_CheckSignals();
}

PyObject* word_object(IteratorState& it, uint32_t id) {
  if (id >= it.words.size()) fail("solution refers to an unknown word");
  PyRef& word = it.words[id];
  if (!word) {
    const std::string& text = it.stream.words()[id];
    word = created(PyUnicode_FromStringAndSize(text.data(), static_cast<Py_ssize_t>(text.size())));
  }
  return word.get();
}

PyObject* take_solution(IteratorState& it) {
  const RowBlock& run = it.batch.blocks[it.run];
  if (run.width == 0 || run.rows.size() % run.width != 0) fail("batch has an inconsistent run");
  const uint32_t* ids = run.rows.data() + it.row * run.width;
  PyRef list = created(PyList_New(static_cast<Py_ssize_t>(run.width)));
  if (!list) return nullptr;
  for (uint32_t i = 0; i < run.width; ++i) {
    PyObject* word = word_object(it, ids[i]);
    if (word == nullptr) return nullptr;
    PyList_SET_ITEM(list.get(), i, Py_NewRef(word));
  }
  if (++it.row == run.size()) {
    ++it.run;
    it.row = 0;
  }
  return list.release();
}

PyObject* iterator_next(PyObject* self) noexcept {
  return at_boundary("SolveIterator", "__next__", [self]() -> PyObject* {
    IteratorState& it = as_iterator(self);
    BusyLock hold(it.busy);
    if (it.cancelled.load()) return nullptr;  // cancel(): the end
    if (!batch_left(it) && !it.stream.ended()) refill(it);
    if (PyErr_Occurred()) return nullptr;  // Ctrl-C during the batch
    if (!batch_left(it)) return nullptr;   // the end: StopIteration
    return take_solution(it);
  });
}

PyObject* iterator_timed_out(PyObject* self, void*) noexcept {
  IteratorState& it = as_iterator(self);
  BusyLock hold(it.busy);
  return PyBool_FromLong(it.stream.ended() && it.stream.stop() == SearchStatus::kTimeLimit);
}

void iterator_dealloc(PyObject* object) {
  PyTypeObject* type = Py_TYPE(object);
  std::destroy_at(&as_iterator(object));
  type->tp_free(object);
  Py_DECREF(type);  // instances of heap types own a reference to their type
}

PyObject* iterator_cancel(PyObject* self, PyObject*) noexcept {
  as_iterator(self).cancelled.store(true);
  Py_RETURN_NONE;
}

PyMethodDef iterator_methods[] = {
    {"cancel", iterator_cancel, METH_NOARGS,
     kCancelDoc},
    {nullptr, nullptr, 0, nullptr},
};

PyGetSetDef iterator_getset[] = {
    {"timed_out", iterator_timed_out, nullptr,
     "True once the iteration has ended because timeout_seconds ran out.", nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyType_Slot iterator_slots[] = {
    {Py_tp_doc, const_cast<char*>("The solutions of one iter_solve() request, in the result order.")},
    {Py_tp_iter, reinterpret_cast<void*>(PyObject_SelfIter)},
    {Py_tp_iternext, reinterpret_cast<void*>(iterator_next)},
    {Py_tp_dealloc, reinterpret_cast<void*>(iterator_dealloc)},
    {Py_tp_getset, iterator_getset},
    {Py_tp_methods, iterator_methods},
    {0, nullptr},
};

// Not instantiable from Python (no tp_new) and not subclassable; holds only
// str objects, which cannot form cycles, so it stays out of the collector.
PyType_Spec iterator_spec = {"builtins.SolveIterator", sizeof(PySolveIterator), 0,
                             Py_TPFLAGS_DEFAULT | Py_TPFLAGS_DISALLOW_INSTANTIATION, iterator_slots};

}  // namespace

PyObject* get_solve_iterator_type() {
  if (iterator_type == nullptr) iterator_type = PyType_FromSpec(&iterator_spec);
  return iterator_type;
}

PyObject* stream_to_iterator(SolutionStream&& stream) {
  if (PyErr_Occurred()) return nullptr;  // Ctrl-C while the stream was set up
  auto* type = reinterpret_cast<PyTypeObject*>(get_solve_iterator_type());
  if (type == nullptr) return nullptr;
  std::vector<PyRef> words(stream.words().size());  // made first: a failure frees it
  PyObject* object = type->tp_alloc(type, 0);
  if (object == nullptr) return nullptr;
  std::construct_at(&as_iterator(object), std::move(stream), std::move(words));
  return object;
}

}  // namespace anagram
