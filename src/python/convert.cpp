// File: python/convert.cpp
//
// Argument and result conversions (python/convert.h).
// The Python layer. Tested by tests/python/test_module_surface.py and
// test_robustness.py.
#include "python/convert.h"

#include <algorithm>
#include <new>
#include <string>

#include "python/failure.h"

namespace anagram {

namespace {

PyRef type_qualname(PyObject* object) {
  PyRef name(PyType_GetQualName(Py_TYPE(object)));
  if (name && PyUnicode_AsUTF8AndSize(name.get(), nullptr) != nullptr) return name;
  PyErr_Clear();
  return PyRef(PyUnicode_FromString("<failed to extract type name>"));
}

// The length only sizes the result, so a sequence that cannot tell it is
// still accepted.
void reserve_for(PyObject* sequence, std::vector<std::string>& out) {
  Py_ssize_t length = PySequence_Size(sequence);
  if (length < 0) {
    PyErr_Clear();
    return;
  }
  if (static_cast<size_t>(length) > out.max_size()) throw std::bad_alloc();
  out.reserve(static_cast<size_t>(length));
}

void check_solution_list(const SolutionList& solutions) {
  for (const SolutionList::Block& block : solutions.blocks) {
    if (block.width == 0 || block.rows.size() % block.width != 0) fail("solution list has inconsistent blocks");
    for (uint32_t id : block.rows) {
      if (id >= solutions.words.size()) fail("solution refers to an unknown word");
    }
  }
}

// One solution as a new list. A list of str cannot be part of a cycle, so
// the collector need not know it: otherwise its next pass walks every one of
// a million new lists, a fifth of the whole call. (A caller who later makes
// one part of a cycle only keeps that cycle alive; nothing breaks.)
PyRef row_to_list(const uint32_t* row, uint32_t width, const std::vector<PyRef>& words) {
  PyRef list = created(PyList_New(static_cast<Py_ssize_t>(width)));
  if (!list) return list;
  for (uint32_t i = 0; i < width; ++i) PyList_SET_ITEM(list.get(), i, Py_NewRef(words[row[i]].get()));
  PyObject_GC_UnTrack(list.get());
  return list;
}

// One str per distinct word, shared by every solution that uses it.
bool word_objects(const std::vector<std::string>& texts, std::vector<PyRef>& words) {
  words.reserve(texts.size());
  for (const std::string& word : texts) {
    words.push_back(created(PyUnicode_FromStringAndSize(word.data(), static_cast<Py_ssize_t>(word.size()))));
    if (!words.back()) return false;
  }
  return true;
}

// Pauses the cyclic collector: creating a million small lists would run it
// over and over, and lists holding only strings cannot form a cycle.
class GcPause {
 public:
  GcPause() : was_enabled_(PyGC_Disable()) {}
  ~GcPause() {
    if (was_enabled_) PyGC_Enable();
  }
  GcPause(const GcPause&) = delete;
  GcPause& operator=(const GcPause&) = delete;

 private:
  int was_enabled_;
};

}  // namespace

bool fail_cannot_convert(PyObject* object, const char* target) {
  PyRef name = type_qualname(object);
  if (name) {
    PyErr_Format(PyExc_TypeError, "'%U' object cannot be converted to '%s'", name.get(), target);
  }
  return false;
}

bool TextArg::convert(PyObject* object, Value& out) {
  if (!PyUnicode_Check(object)) return fail_cannot_convert(object, "PyString");
  Py_ssize_t length = 0;
  const char* text = PyUnicode_AsUTF8AndSize(object, &length);  // surrogates fail here
  if (text == nullptr) return false;
  out.assign(text, static_cast<size_t>(length));
  return true;
}

bool CountArg::convert(PyObject* object, Value& out) {
  PyRef index;
  if (!PyLong_Check(object)) {
    index = PyRef(PyNumber_Index(object));
    if (!index) return false;
    object = index.get();
  }
  unsigned long long value = PyLong_AsUnsignedLongLong(object);
  if (value == static_cast<unsigned long long>(-1) && PyErr_Occurred()) return false;
  if (value > UINT32_MAX) {
    PyErr_SetString(PyExc_OverflowError, "out of range integral type conversion attempted");
    return false;
  }
  out = static_cast<uint32_t>(value);
  return true;
}

bool SecondsArg::convert(PyObject* object, Value& out) {
  out = PyFloat_CheckExact(object) ? PyFloat_AS_DOUBLE(object) : PyFloat_AsDouble(object);
  return !(out == -1.0 && PyErr_Occurred());
}

bool TextListArg::convert(PyObject* object, Value& out) {
  if (PyUnicode_Check(object)) {
    PyErr_SetString(PyExc_TypeError, "Can't extract `str` to `Vec`");
    return false;
  }
  if (!PySequence_Check(object)) return fail_cannot_convert(object, "Sequence");
  reserve_for(object, out);
  PyRef iterator(PyObject_GetIter(object));
  if (!iterator) return false;
  while (PyRef item{PyIter_Next(iterator.get())}) {
    if (!TextArg::convert(item.get(), out.emplace_back())) return false;
  }
  return !PyErr_Occurred();
}

PyObject* none_to_python() { Py_RETURN_NONE; }

PyObject* solutions_to_list(const SolutionList& solutions) {
  check_solution_list(solutions);
  GcPause pause;
  std::vector<PyRef> words;
  if (!word_objects(solutions.words, words)) return nullptr;
  // Every list is created at its final length and filled in place.
  PyRef outer = created(PyList_New(static_cast<Py_ssize_t>(solutions.size())));
  if (!outer) return nullptr;
  Py_ssize_t index = 0;
  for (const SolutionList::Block& block : solutions.blocks) {
    for (size_t at = 0; at < block.rows.size(); at += block.width) {
      PyRef inner = row_to_list(block.rows.data() + at, block.width, words);
      if (!inner) return nullptr;
      PyList_SET_ITEM(outer.get(), index++, inner.release());
    }
  }
  return outer.release();
}

PyObject* read_status_to_python(const std::optional<DictionaryReadError>& error) {
  if (!error) return none_to_python();
  auto length = static_cast<Py_ssize_t>(error->message.size());
  PyRef message(PyUnicode_DecodeUTF8(error->message.data(), length, "replace"));
  PyRef exception(message ? PyObject_CallOneArg(PyExc_OSError, message.get()) : nullptr);
  if (exception) PyErr_SetObject(PyExc_OSError, exception.get());
  return nullptr;
}

PyObject* count_to_python(const SolutionCount& count) {
  if (count.too_large) {
    PyErr_SetString(PyExc_MemoryError,
                    "count(): this phrase has too many partial anagrams to count exactly in the memory and "
                    "time a count may take; give max_solutions to count up to a cap, or shorten the phrase");
    return nullptr;
  }
  switch (count.stop) {
    case SearchStatus::kTimeLimit:
      PyErr_SetString(PyExc_TimeoutError, "the count did not finish within timeout_seconds");
      return nullptr;
    case SearchStatus::kCancelled:
      if (!PyErr_Occurred()) PyErr_SetNone(PyExc_KeyboardInterrupt);
      return nullptr;
    case SearchStatus::kCompleted:
    case SearchStatus::kSolutionCap:
      break;
    case SearchStatus::kRunning:
      fail("a count ended while still running");
  }
  if (count.value.fits_u64()) return created(PyLong_FromUnsignedLongLong(count.value.low_u64())).release();
  const std::string hex = count.value.to_hex();
  return created(PyLong_FromString(hex.c_str(), nullptr, 16)).release();
}

namespace {

// The stream's solutions as a list: `size` of them unless a time limit ends
// the stream early; MemoryError with `over` once it would pass `most`.
PyObject* stream_to_list(SolutionStream& stream, uint64_t size, uint64_t most, const std::string& over) {
  constexpr size_t kBatch = size_t{1} << 16;
  GcPause pause;
  std::vector<PyRef> words;
  if (!word_objects(stream.words(), words)) return nullptr;
  size = std::min(size, most);
  PyRef outer = created(PyList_New(static_cast<Py_ssize_t>(size)));
  if (!outer) return nullptr;
  Py_ssize_t index = 0;
  RowBatch batch;
  while (!stream.ended()) {
    batch.clear();
    stream.next_batch(batch, kBatch);
    for (const RowBlock& run : batch.blocks) {
      if (run.width == 0 || run.rows.size() % run.width != 0) fail("stream batch has an inconsistent run");
      for (size_t at = 0; at < run.rows.size(); at += run.width) {
        if (index >= static_cast<Py_ssize_t>(size)) {
          if (size < most) fail("stream holds more solutions than its count");
          PyErr_SetString(PyExc_MemoryError, over.c_str());
          return nullptr;
        }
        for (size_t k = at; k < at + run.width; ++k) {
          if (run.rows[k] >= words.size()) fail("solution refers to an unknown word");
        }
        PyRef inner = row_to_list(run.rows.data() + at, run.width, words);
        if (!inner) return nullptr;
        PyList_SET_ITEM(outer.get(), index++, inner.release());
      }
    }
  }
  // A time limit ends the stream early: the unfilled slots go.
  if (index < static_cast<Py_ssize_t>(size) &&
      PyList_SetSlice(outer.get(), index, static_cast<Py_ssize_t>(size), nullptr) < 0) {
    return nullptr;
  }
  return outer.release();
}

}  // namespace

PyObject* solve_outcome_to_python(SolveOutcome&& outcome) {
  const SolveBound& bound = outcome.bound;
  SolveResult& result = outcome.result;
  const uint64_t most = bound.most.value_or(UINT64_MAX);
  if (!bound.refusal.empty() || (!result.stream && result.list.size() > most)) {
    PyErr_SetString(PyExc_MemoryError, (bound.refusal.empty() ? bound.over : bound.refusal).c_str());
    return nullptr;
  }
  // A stream's size is its count, which a time limit may cut short: only
  // the rows it really yields can pass what fits.
  if (result.stream) return stream_to_list(*result.stream, result.stream_size, most, bound.over);
  return solutions_to_list(result.list);
}

}  // namespace anagram
