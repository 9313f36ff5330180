// The Python face of the engine: arrays in without a copy where their layout
// allows, the engine's own matrices out, the work done without the GIL. The
// package's Python code turns data frames into arrays and results into
// data frames; everything else is the library's.
#include <pybind11/functional.h>
#include <pybind11/numpy.h>
#include <pybind11/pybind11.h>
#include <pybind11/stl.h>

#include <cstdint>
#include <string>
#include <vector>

#include "library/progress_estimate.h"
#include "library/network.h"

namespace py = pybind11;

namespace {

using quorvin::Error;
using quorvin::ErrorKind;

// The engine's result, kept alive by every array that views its matrices:
// the network, whose halves of the matrices are handed over to squares.
struct NetworkHandle {
  quorvin::Network network;
  quorvin::Matrix spearman, combined;
  quorvin::NetworkView view() const {
    quorvin::NetworkView view(network);
    view.spearman = spearman;
    view.combined = combined;
    return view;
  }
};

// Hands the network's halves over to whole squares, one after the other, each
// half freed once its square is filled.
Error make_squares(NetworkHandle& handle) {
  quorvin::Network& network = handle.network;
  const int32_t V = network.V;
  if (!quorvin::allocate_matrix(handle.spearman, V, V))
    return {ErrorKind::out_of_memory, quorvin::ran_out_message(V, network.N, false)};
  quorvin::fill_spearman_square(network, handle.spearman.data.get());
  quorvin::LowerMatrix().data.swap(network.spearman.data);
  if (!quorvin::allocate_matrix(handle.combined, V, V))
    return {ErrorKind::out_of_memory, quorvin::ran_out_message(V, network.N, false)};
  quorvin::fill_combined_square(network, handle.combined.data.get());
  quorvin::PairMatrix().data.swap(network.combined.data);
  return {};
}

// Raises the Python exception of an engine error.
[[noreturn]] void raise(const Error& error) {
  switch (error.kind) {
    case ErrorKind::out_of_memory:
      PyErr_SetString(PyExc_MemoryError, error.message.c_str());
      break;
    case ErrorKind::failed:
      PyErr_SetString(PyExc_OSError, error.message.c_str());
      break;
    default:
      PyErr_SetString(PyExc_ValueError, error.message.c_str());
  }
  throw py::error_already_set();
}

// The calling thread polls, this often, for a signal (Ctrl-C) and reports
// progress, holding the GIL only then.
constexpr double poll_seconds = 0.1;

py::object compute(py::array_t<double, py::array::c_style | py::array::forcecast> values,
                   std::vector<std::string> names, bool variables_in_columns, int threads,
                   bool keep_controls, py::object progress) {
  if (values.ndim() != 2) throw py::value_error("the data must be a 2-D array");
  auto handle = std::make_unique<NetworkHandle>();
  quorvin::NetworkOptions options;
  options.threads = threads;
  options.keep_controls = keep_controls;
  quorvin::ProgressPoll poll;
  bool python_error = false;
  options.progress = [&](const quorvin::SearchWork& work) {
    if (!quorvin::progress_poll_due(poll, work, poll_seconds)) return true;
    py::gil_scoped_acquire gil;
    // An exception (KeyboardInterrupt from the signal, or one the progress
    // callback raised) stays set until the call returns.
    if (PyErr_CheckSignals() != 0) {
      python_error = true;
      return false;
    }
    if (!progress.is_none()) {
      PyObject* shown = PyObject_CallFunction(progress.ptr(), "ddd", poll.estimate.share,
                                              poll.elapsed, poll.estimate.seconds_left);
      if (shown == nullptr) {
        python_error = true;
        return false;
      }
      Py_DECREF(shown);
    }
    return true;
  };
  const quorvin::NetworkInput input{.values = values.data(),
                                    .rows = values.shape(0),
                                    .cols = values.shape(1),
                                    .variables_in_columns = variables_in_columns,
                                    .names = &names};
  Error error;
  {
    py::gil_scoped_release released;
    error = quorvin::compute_network(input, options, handle->network);
    if (!error) error = make_squares(*handle);
  }
  if (python_error) throw py::error_already_set();
  if (error) raise(error);
  return py::cast(std::move(handle));
}

// A read-only view of one of the handle's matrices, which the view keeps alive.
py::array matrix_view(py::object handle_object, bool combined) {
  NetworkHandle& handle = handle_object.cast<NetworkHandle&>();
  const quorvin::Matrix& matrix = combined ? handle.combined : handle.spearman;
  const py::ssize_t V = handle.network.V;
  py::array view(py::dtype::of<double>(), {V, V},
                 {static_cast<py::ssize_t>(V * sizeof(double)), static_cast<py::ssize_t>(sizeof(double))},
                 matrix.data.get(), handle_object);
  py::detail::array_proxy(view.ptr())->flags &= ~py::detail::npy_api::NPY_ARRAY_WRITEABLE_;
  return view;
}

int level_index(double level) {
  int index = 0;
  if (const Error error = quorvin::level_index(level, index)) raise(error);
  return index;
}

// The edge table's pairs at level as columns of numbers: the variables, the
// controls (-1 for none), the order and the strictest level passed (-1 for
// none), as indices.
py::dict edges(const NetworkHandle& handle, double level) {
  const int index = level_index(level);
  if (handle.network.kept_controls.empty() && handle.network.V > 1)
    throw py::value_error(
        "the edges need the controls of each result; compute the network with edges=True");
  std::vector<quorvin::Edge> found;
  {
    py::gil_scoped_release released;
    found = quorvin::network_edges(handle.view(), index);
  }
  const py::ssize_t count = static_cast<py::ssize_t>(found.size());
  py::array_t<int32_t> x(count), y(count), control_1(count), control_2(count), order(count),
      strictest(count);
  for (py::ssize_t i = 0; i < count; ++i) {
    const quorvin::Edge& e = found[static_cast<size_t>(i)];
    x.mutable_at(i) = e.x;
    y.mutable_at(i) = e.y;
    control_1.mutable_at(i) = e.control_1;
    control_2.mutable_at(i) = e.control_2;
    order.mutable_at(i) = e.order;
    strictest.mutable_at(i) = e.level;
  }
  py::dict columns;
  columns["x"] = x;
  columns["y"] = y;
  columns["control_1"] = control_1;
  columns["control_2"] = control_2;
  columns["order"] = order;
  columns["level"] = strictest;
  return columns;
}

// Writes the result files; returns the pairs listed at each level and in
// the edge table.
py::tuple save(const NetworkHandle& handle, const std::string& folder,
               const std::string& edge_table) {
  quorvin::ListedPairs listed;
  Error error;
  {
    py::gil_scoped_release released;
    error = quorvin::save_network(handle.view(), folder, edge_table, listed);
  }
  if (error) raise(error);
  return py::make_tuple(py::make_tuple(listed.edges[0], listed.edges[1], listed.edges[2]),
                        listed.edge_table_rows);
}

}  // namespace

PYBIND11_MODULE(_quorvin, m) {
  m.doc() = "The engine of quorvin; use the functions of the quorvin package.";
  py::class_<NetworkHandle>(m, "NetworkHandle")
      .def_property_readonly("V", [](const NetworkHandle& h) { return h.network.V; })
      .def_property_readonly("N", [](const NetworkHandle& h) { return h.network.N; })
      .def_property_readonly("names", [](const NetworkHandle& h) { return h.network.names; })
      .def("critical", [](const NetworkHandle& h, double level) {
        return quorvin::network_critical_value(h.network, level_index(level));
      });
  m.def("compute", &compute, py::arg("values"), py::arg("names"), py::arg("variables_in_columns"),
        py::arg("threads"), py::arg("keep_controls"), py::arg("progress"));
  m.def("spearman", [](py::object h) { return matrix_view(h, false); });
  m.def("combined", [](py::object h) { return matrix_view(h, true); });
  m.def("edges", &edges);
  m.def("save", &save);
  m.def("progress_line", &quorvin::progress_line);
  std::vector<std::string> levels(quorvin::level_names, quorvin::level_names + quorvin::level_count);
  m.attr("levels") = levels;
}
