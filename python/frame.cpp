#include "python/frame.h"

#include <limits>

namespace tesk::python {

std::vector<float3> float3_rows(const carray<float>& a, const char* name, bool allow_empty) {
  if (allow_empty && a.size() == 0) return {};
  if (a.ndim() != 2 || a.shape(1) != 3 || (!allow_empty && a.shape(0) == 0)) {
    throw py::value_error(std::string(name) + " must have float32 shape [n, 3]");
  }
  std::vector<float3> rows(static_cast<size_t>(a.shape(0)));
  std::memcpy(static_cast<void*>(rows.data()), a.data(), rows.size() * sizeof(float3));
  return rows;
}

std::vector<int3> int3_rows(const py::object& obj, const char* name) {
  const std::string shape_message = std::string(name) + " must have int32 shape [m, 3]";
  py::array raw = py::array::ensure(obj);
  if (!raw) {
    PyErr_Clear();
    throw py::value_error(shape_message);
  }
  const char kind = raw.dtype().kind();
  if (kind != 'b' && kind != 'i' && kind != 'u' && kind != 'f') {
    throw py::type_error(std::string(name) + " must be a numeric array");
  }
  // A forced cast would wrap integers beyond int32 silently; refuse them instead.
  if ((kind == 'i' || kind == 'u') && raw.itemsize() > 4 && raw.size() > 0) {
    py::module_ np = py::module_::import("numpy");
    const auto lo = np.attr("min")(raw).cast<long double>();
    const auto hi = np.attr("max")(raw).cast<long double>();
    if (lo < std::numeric_limits<int32_t>::min() || hi > std::numeric_limits<int32_t>::max()) {
      throw py::value_error(std::string(name) + " holds values outside the int32 range");
    }
  } else if (kind == 'f' && raw.size() > 0) {
    py::module_ np = py::module_::import("numpy");
    if (!np.attr("all")(np.attr("isfinite")(raw)).cast<bool>()) {
      throw py::value_error(std::string(name) + " must hold finite integer values");
    }
  }
  carray<int32_t> a = carray<int32_t>::ensure(raw);
  if (!a) {
    PyErr_Clear();
    throw py::value_error(shape_message);
  }
  if (a.ndim() != 2 || a.shape(1) != 3 || a.shape(0) == 0) {
    if (a.size() == 0 && a.ndim() == 2 && a.shape(1) == 3) return {};
    throw py::value_error(shape_message);
  }
  std::vector<int3> rows(static_cast<size_t>(a.shape(0)));
  std::memcpy(static_cast<void*>(rows.data()), a.data(), rows.size() * sizeof(int3));
  return rows;
}

float3 float3_value(const carray<float>& a, const char* name) {
  if (a.size() != 3) throw py::value_error(std::string(name) + " must have three float32 values");
  return float3{a.data()[0], a.data()[1], a.data()[2]};
}

namespace {

// The `_execution` dictionary: backend, workflow, executor, native (in that order). Throws
// RuntimeError for codes outside the backend and workflow tables.
py::dict execution_record(const ExecutionIdentity& id) {
  // Look both names up before building anything, so a bad code leaves no partial record.
  const char* backend = backend_name(id.backend);
  const char* workflow = workflow_name(id.workflow);
  py::dict record;
  record["backend"] = backend;
  record["workflow"] = workflow;
  record["executor"] = id.executor;
  record["native"] = id.native;
  return record;
}

}  // namespace

py::dict flat_result(py::dict result, const ExecutionIdentity& id) {
  result["_execution"] = execution_record(id);
  return result;
}

py::dict enveloped_result(py::dict payload, const ExecutionIdentity& id) {
  py::dict envelope;
  envelope["payload"] = std::move(payload);
  envelope["_execution"] = execution_record(id);
  return envelope;
}

namespace {

// Holds the host callable; copying or destroying it takes the interpreter lock, so the
// std::function may be copied or dropped on any thread.
struct ProgressTarget {
  py::object callable;
  ~ProgressTarget() {
    py::gil_scoped_acquire gil;
    callable = py::object();
  }
};

}  // namespace

ProgressCallback wrap_progress(const py::object& progress) {
  if (progress.is_none()) return {};
  auto target = std::make_shared<ProgressTarget>();
  if (!PyCallable_Check(progress.ptr())) {
    // A progress bar with update(n) and a settable total (tqdm's interface): each report sets
    // the total and advances the bar to `done`.
    if (!py::hasattr(progress, "update") || !py::hasattr(progress, "total")) {
      throw py::type_error(
          "progress must be None, a callable taking (done, total, elapsed_ms) or a progress bar "
          "with update() and total (tqdm)");
    }
    target->callable = py::cpp_function([bar = progress](int64_t done, int64_t total, float) {
      bar.attr("total") = total;
      const int64_t shown = py::hasattr(bar, "n") ? bar.attr("n").cast<int64_t>() : 0;
      if (done > shown) bar.attr("update")(done - shown);
    });
    return [target](int64_t done, int64_t total, float elapsed_ms) {
      py::gil_scoped_acquire gil;
      target->callable(py::int_(done), py::int_(total), py::float_(elapsed_ms));
    };
  }
  target->callable = progress;
  return [target](int64_t done, int64_t total, float elapsed_ms) {
    py::gil_scoped_acquire gil;
    target->callable(py::int_(done), py::int_(total), py::float_(elapsed_ms));
  };
}

InterruptCheck interpreter_interrupt_check() {
  return [] {
    py::gil_scoped_acquire gil;
    if (PyErr_CheckSignals() != 0) throw py::error_already_set();
  };
}

bool has_field(const py::dict& request, const char* key) {
  return request.contains(key) && !request[key].is_none();
}

py::handle required_field(const py::dict& request, const char* key) {
  if (!has_field(request, key)) throw py::value_error(std::string(key) + " is required");
  return request[key];
}

uint64_t to_u64(const py::handle& value, const std::string& key) {
  if (!PyIndex_Check(value.ptr()) || py::isinstance<py::bool_>(value)) {
    throw py::type_error(key + " must be an integer");
  }
  const py::int_ v = py::reinterpret_steal<py::int_>(PyNumber_Index(value.ptr()));
  const unsigned long long out = PyLong_AsUnsignedLongLong(v.ptr());
  if (PyErr_Occurred()) {
    PyErr_Clear();
    throw py::value_error(key + " must be an unsigned 64-bit integer");
  }
  return out;
}

int64_t to_i64(const py::handle& value, const std::string& key) {
  if (!PyIndex_Check(value.ptr()) || py::isinstance<py::bool_>(value)) {
    throw py::type_error(key + " must be an integer");
  }
  const py::int_ v = py::reinterpret_steal<py::int_>(PyNumber_Index(value.ptr()));
  const long long out = PyLong_AsLongLong(v.ptr());
  if (PyErr_Occurred()) {
    PyErr_Clear();
    throw py::value_error(key + " must be a signed 64-bit integer");
  }
  return out;
}

uint64_t u64_field(const py::dict& request, const char* key) {
  return to_u64(required_field(request, key), key);
}

py::dict execution_dict(const char* workflow, const char* executor) {
  py::dict d;
  d["backend"] = "embree";
  d["workflow"] = workflow;
  d["executor"] = executor;
  d["native"] = true;
  return d;
}

int32_t int32_field(const py::dict& request, const char* key) {
  if (!has_field(request, key)) throw py::value_error(std::string(key) + " is required");
  const py::object value = request[key];
  const auto as_int = py::reinterpret_steal<py::object>(PyNumber_Index(value.ptr()));
  if (!as_int) {
    PyErr_Clear();
    throw py::type_error(std::string(key) + " must be an integer");
  }
  int overflow = 0;
  const long long v = PyLong_AsLongLongAndOverflow(as_int.ptr(), &overflow);
  if (overflow > 0 || (overflow == 0 && v > std::numeric_limits<int32_t>::max())) {
    return std::numeric_limits<int32_t>::max();
  }
  if (overflow < 0 || v < std::numeric_limits<int32_t>::min()) {
    return std::numeric_limits<int32_t>::min();
  }
  return static_cast<int32_t>(v);
}

float real_field(const py::dict& request, const char* key) {
  if (!has_field(request, key)) throw py::value_error(std::string(key) + " is required");
  const double v = PyFloat_AsDouble(py::object(request[key]).ptr());
  if (v == -1.0 && PyErr_Occurred()) {
    PyErr_Clear();
    throw py::type_error(std::string(key) + " must be a real number");
  }
  return static_cast<float>(v);
}

bool flag_field(const py::dict& request, const char* key) {
  if (!has_field(request, key)) return false;
  try {
    return request[key].cast<bool>();
  } catch (const py::cast_error&) {
    throw py::type_error(std::string(key) + " must be a bool");
  }
}

}  // namespace tesk::python
