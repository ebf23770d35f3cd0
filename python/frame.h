#pragma once

// Conversion and result helpers shared by every binding file: array arguments, request
// dictionaries, execution records and the progress wrapper.

#include <pybind11/numpy.h>
#include <pybind11/pybind11.h>

#include <cstdint>
#include <string>
#include <type_traits>
#include <vector>

#include "core/host/execution.h"
#include "core/host/progress.h"
#include "core/vec.h"

namespace tesk::python {

namespace py = pybind11;

/// An array argument: any array-like, force-cast to T and made C-contiguous (copied only when
/// the input is not already of that type and layout). None is refused with TypeError (see the
/// casters at the end of this file) instead of becoming a NaN scalar array.
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

/// Whether `key` is present and not None (None counts as absent).
bool has_field(const py::dict& request, const char* key);

/// The value of a present field; ValueError "<key> is required" when absent or None.
py::handle required_field(const py::dict& request, const char* key);

/// An integer (anything with __index__, not bool) as uint64 / int64: TypeError "<key> must be
/// an integer" otherwise, ValueError "<key> must be an unsigned 64-bit integer" / "... a signed
/// 64-bit integer" when out of range.
uint64_t to_u64(const py::handle& value, const std::string& key);
int64_t to_i64(const py::handle& value, const std::string& key);

/// A required uint64 field (required_field, then to_u64).
uint64_t u64_field(const py::dict& request, const char* key);

/// The execution record of a process result: backend "embree", the workflow and executor
/// names, native True.
py::dict execution_dict(const char* workflow, const char* executor);

/// A required array field of any rank, converted as an array argument. A missing field throws
/// ValueError "<key> is required"; a value that cannot become such an array "<key> must be a
/// <float32|int32> array".
template <typename T>
carray<T> array_field_any_rank(const py::dict& request, const char* key) {
  if (!has_field(request, key)) throw py::value_error(std::string(key) + " is required");
  carray<T> a = carray<T>::ensure(request[key]);
  if (!a) {
    PyErr_Clear();
    const char* type = std::is_same_v<T, float> ? "float32" : "int32";
    throw py::value_error(std::string(key) + " must be a " + type + " array");
  }
  return a;
}

/// A required one-dimensional array field. Any other rank throws ValueError `rank_message`, by
/// default "<key> must be a contiguous one-dimensional array".
template <typename T>
carray<T> array_field(const py::dict& request, const char* key,
                      const char* rank_message = nullptr) {
  carray<T> a = array_field_any_rank<T>(request, key);
  if (a.ndim() != 1) {
    throw py::value_error(rank_message != nullptr
                              ? std::string(rank_message)
                              : std::string(key) + " must be a contiguous one-dimensional array");
  }
  return a;
}

/// A required integer field saturated to the int32 range (a limit beyond it is as good as
/// unlimited; a very negative one stays invalid). ValueError "<key> is required" when absent,
/// TypeError "<key> must be an integer" for anything without __index__.
int32_t int32_field(const py::dict& request, const char* key);

/// A required real field (any object float() accepts). ValueError "<key> is required" when
/// absent, TypeError "<key> must be a real number" otherwise.
float real_field(const py::dict& request, const char* key);

/// An optional flag, False when absent. TypeError "<key> must be a bool" for a value that is
/// not a truth value pybind11 accepts.
bool flag_field(const py::dict& request, const char* key);

}  // namespace tesk::python

namespace pybind11::detail {

// Array arguments refuse None: NumPy would turn it into a NaN scalar array. Refusing it here
// makes pybind11 raise TypeError (incompatible function arguments) for every binding at once.
template <typename T>
struct none_refusing_array_caster : pyobject_caster<tesk::python::carray<T>> {
  bool load(handle src, bool convert) {
    if (src.is_none()) return false;
    return pyobject_caster<tesk::python::carray<T>>::load(src, convert);
  }
};
template <>
class type_caster<tesk::python::carray<float>> : public none_refusing_array_caster<float> {};
template <>
class type_caster<tesk::python::carray<int32_t>> : public none_refusing_array_caster<int32_t> {};

}  // namespace pybind11::detail
