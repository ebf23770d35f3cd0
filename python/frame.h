#pragma once

// Conversion and result helpers shared by every binding file: array arguments, request
// dictionaries, execution records and the progress wrapper.

#include <pybind11/numpy.h>
#include <pybind11/pybind11.h>

#include <cstdint>
#include <string>
#include <vector>

#include "core/host/execution.h"
#include "core/host/progress.h"
#include "core/vec.h"

namespace tesk::python {

namespace py = pybind11;

/// An array argument: any array-like, force-cast to T and made C-contiguous (copied only when
/// the input is not already of that type and layout).
template <typename T>
using carray = py::array_t<T, py::array::c_style | py::array::forcecast>;

/// Rows of three floats from an [n, 3] array; an empty array is allowed when `allow_empty`.
/// Throws ValueError "<name> must have float32 shape [n, 3]".
std::vector<float3> float3_rows(const carray<float>& a, const char* name, bool allow_empty);

/// Rows of three ints from an [m, 3] array. Throws ValueError "<name> must have int32 shape
/// [m, 3]" or "<name> holds values outside the int32 range" / "<name> must hold finite integer
/// values" (a forced cast would wrap or truncate silently); TypeError for non-numeric input.
std::vector<int3> int3_rows(const py::object& obj, const char* name);

/// Exactly three floats (any shape with three elements).
/// Throws ValueError "<name> must have three float32 values".
float3 float3_value(const carray<float>& a, const char* name);

/// All elements of an array in C order.
template <typename T>
std::vector<T> to_vector(const carray<T>& a) {
  return std::vector<T>(a.data(), a.data() + a.size());
}

/// A new NumPy array of the given shape owning a copy of `data` (which must hold the product of
/// the shape's extents).
template <typename T>
py::array_t<T> to_numpy(const T* data, std::vector<py::ssize_t> shape) {
  py::array_t<T> out(shape);
  std::copy(data, data + out.size(), out.mutable_data());
  return out;
}
template <typename T>
py::array_t<T> to_numpy(const std::vector<T>& v) {
  return to_numpy(v.data(), {static_cast<py::ssize_t>(v.size())});
}

/// The `_execution` dictionary: backend, workflow, executor, native (in that order).
/// Throws RuntimeError for codes outside the backend and workflow tables.
py::dict execution_record(const ExecutionIdentity& id);
/// Adds `_execution` to a flat result and returns it.
py::dict flat_result(py::dict result, const ExecutionIdentity& id);
/// {"payload": payload, "_execution": record}.
py::dict enveloped_result(py::dict payload, const ExecutionIdentity& id);

/// Wraps None or a host callable into a native progress callback taking (int64, int64,
/// float32). The callable is called with the interpreter lock held; a raised exception
/// propagates to the workflow as py::error_already_set. Throws TypeError for a non-callable.
ProgressCallback wrap_progress(const py::object& progress);

/// Interrupt check for workflows run from the interpreter thread: raises KeyboardInterrupt
/// (as py::error_already_set) once a signal handler has reported Ctrl-C.
InterruptCheck interpreter_interrupt_check();

// ---- request dictionaries ---------------------------------------------------------------------

/// Whether `key` is present and not None.
bool has_field(const py::dict& request, const char* key);

/// A one-dimensional array field converted as an array argument. A missing field throws
/// ValueError "<key> is required"; a field of any other rank throws
/// "<key> must be a contiguous one-dimensional array".
template <typename T>
carray<T> array_field(const py::dict& request, const char* key) {
  if (!has_field(request, key)) throw py::value_error(std::string(key) + " is required");
  carray<T> a = carray<T>::ensure(request[key]);
  if (!a || a.ndim() != 1) {
    PyErr_Clear();
    throw py::value_error(std::string(key) + " must be a contiguous one-dimensional array");
  }
  return a;
}

/// A scalar field with a default used when the key is absent or None.
template <typename T>
T scalar_field(const py::dict& request, const char* key, T fallback) {
  if (!has_field(request, key)) return fallback;
  return request[key].cast<T>();
}

/// A required scalar field; throws ValueError "<key> is required" when absent.
template <typename T>
T required_scalar_field(const py::dict& request, const char* key) {
  if (!has_field(request, key)) throw py::value_error(std::string(key) + " is required");
  return request[key].cast<T>();
}

}  // namespace tesk::python
