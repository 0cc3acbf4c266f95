// mirel._gower: the Gower pass for mirel.sklearn.MixedImputer. Private: the Python layer encodes
// the table (levels as codes, NaN for missing cells) and hands over C-contiguous float64
// matrices; everything else is refused here with a clear error.
//
// build(fitted, columns, k, numeric, weighted_votes) -> capsule holding the engine's
//     GowerDonors (a copy of the fitted cells), reported to the memory accounting while it lives.
//     `columns` is 5 x cols: kind (0 numeric, 1 nominal, 2 ordinal), integral, in_distance,
//     weight, levels.
// impute(donors, query, threads, kernel="", reference=False, group_rows=0, progress=None, chunk_rows=0)
//     -> a new array: a copy of `query` with its missing cells imputed, the pass run without the
//     interpreter lock on that copy, its rows split over `threads` workers `chunk_rows` at a time
//     (0: chosen) by the pass driver. While it runs, the calling thread takes the lock back about
//     every 0.1 s and at the end to check for signals (Ctrl-C stops the pass) and to call
//     progress(done_rows, total_rows) when given (module/released_pass.hpp); an exception from
//     either stops the pass and is raised. The reference pass is polled once, at its end.
// summaries(donors) -> the fitted columns' summaries (NaN for an empty column).
// kernels() -> the names of the loops available here, the widest last.
#include "module/arrays.hpp"
#include "module/extension.hpp"
#include "module/released_pass.hpp"
#include "utils/errors.hpp"
#include "utils/lock.hpp"
#include "utils/memory.hpp"

#include <cmath>
#include <cstring>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "utils/numpy.hpp"

#include "knn/gower/gower.hpp"

namespace mirel::py {
namespace {

constexpr const char* CAPSULE_NAME = "mirel._gower.Donors";

MatrixArg float64_matrix(PyObject* obj, const char* name) {
    return matrix_arg(obj, name, NPY_DOUBLE, "float64", Layout::any_alignment);
}

// The matrix's cells, copied into memory of the call's own (memcpy: any alignment).
std::vector<double> cells_of(const MatrixArg& m) {
    std::vector<double> cells(m.rows * m.cols);
    if (!cells.empty()) {
        std::memcpy(cells.data(), m.data, cells.size() * sizeof(double));
    }
    return cells;
}

void destroy_donors(PyObject* capsule) noexcept {
    auto* donors = static_cast<knn::GowerDonors*>(PyCapsule_GetPointer(capsule, CAPSULE_NAME));
    if (donors != nullptr) {
        untrack_buffer(donors);
        delete donors;
    } else {
        PyErr_Clear();
    }
}

const knn::GowerDonors& donors_of(PyObject* obj) {
    auto* donors = static_cast<knn::GowerDonors*>(PyCapsule_GetPointer(obj, CAPSULE_NAME));
    if (donors == nullptr) {
        throw ErrorAlreadySet{};
    }
    return *donors;
}

knn::GowerConfig config_of(const MatrixArg& columns_arg, Py_ssize_t k, const char* numeric, int weighted_votes) {
    if (columns_arg.rows != 5) {
        raise(PyExc_ValueError, "columns must have 5 rows, not " + std::to_string(columns_arg.rows));
    }
    if (k < 1) {
        raise(PyExc_ValueError, "k must be at least 1, not " + std::to_string(k));
    }
    const std::vector<double> c = cells_of(columns_arg);
    const std::size_t cols = columns_arg.cols;
    knn::GowerConfig config;
    config.k = static_cast<std::size_t>(k);
    const std::string rule = numeric;
    if (rule == "median") {
        config.numeric = knn::GowerNumeric::median;
    } else if (rule == "mean") {
        config.numeric = knn::GowerNumeric::mean;
    } else if (rule == "distance") {
        config.numeric = knn::GowerNumeric::distance;
    } else {
        raise(PyExc_ValueError, "numeric must be 'median', 'mean' or 'distance', not '" + rule + "'");
    }
    config.weighted_votes = weighted_votes != 0;
    for (std::size_t j = 0; j < cols; ++j) {
        const double kind = c[j];
        const double levels = c[4 * cols + j];
        if (kind != 0.0 && kind != 1.0 && kind != 2.0) {
            raise(PyExc_ValueError, "column " + std::to_string(j) + ": kind must be 0, 1 or 2");
        }
        if (!(levels >= 0.0 && levels <= 4294967295.0 && levels == std::floor(levels))) {
            raise(PyExc_ValueError, "column " + std::to_string(j) + ": levels must be a count");
        }
        knn::GowerColumn col;
        col.kind = static_cast<knn::GowerKind>(static_cast<int>(kind));
        col.integral = c[cols + j] != 0.0;
        col.in_distance = c[2 * cols + j] != 0.0;
        col.weight = c[3 * cols + j];
        col.levels = static_cast<std::uint32_t>(levels);
        config.columns.push_back(col);
    }
    if (const std::string error = knn::gower_config_error(config); !error.empty()) {
        raise(PyExc_ValueError, error);
    }
    return config;
}

PyObject* gower_build(PyObject*, PyObject* args, PyObject* kwargs) noexcept {
    return guard_object([&]() -> PyObject* {
        static const char* keywords[] = {"fitted", "columns", "k", "numeric", "weighted_votes", nullptr};
        PyObject* fitted_obj = nullptr;
        PyObject* columns_obj = nullptr;
        Py_ssize_t k = 0;
        const char* numeric = nullptr;
        int weighted_votes = 0;
        if (!PyArg_ParseTupleAndKeywords(args, kwargs, "OOnsp:build", const_cast<char**>(keywords), &fitted_obj,
                                         &columns_obj, &k, &numeric, &weighted_votes)) {
            throw ErrorAlreadySet{};
        }
        const MatrixArg fitted = float64_matrix(fitted_obj, "fitted");
        const MatrixArg columns = float64_matrix(columns_obj, "columns");
        if (columns.cols != fitted.cols) {
            raise(PyExc_ValueError, "columns describes " + std::to_string(columns.cols) + " columns, fitted has " +
                                        std::to_string(fitted.cols));
        }
        knn::GowerConfig config = config_of(columns, k, numeric, weighted_votes);
        const std::vector<double> cells = cells_of(fitted);
        auto donors =
            std::make_unique<knn::GowerDonors>(knn::GowerDonors::build(std::move(config), cells, fitted.rows));
        track_buffer(donors.get(), donors->bytes());
        PyObject* capsule = PyCapsule_New(donors.get(), CAPSULE_NAME, &destroy_donors);
        if (capsule == nullptr) {
            untrack_buffer(donors.get());
            throw ErrorAlreadySet{};
        }
        static_cast<void>(donors.release());  // the capsule owns it now
        return capsule;
    });
}

// The arguments of impute, checked.
struct ImputeCall {
    PyObject* donors_obj = nullptr;
    const knn::GowerDonors* donors = nullptr;
    MatrixArg query;
    std::string kernel;
    bool reference = false;
    std::size_t group_rows = 0;
    PyObject* progress = nullptr;  // callable, or nullptr
    knn::PassOptions options;      // without its poll
};

ImputeCall impute_call(PyObject* args, PyObject* kwargs) {
    static const char* keywords[] = {"donors",     "query",    "threads",    "kernel", "reference",
                                     "group_rows", "progress", "chunk_rows", nullptr};
    ImputeCall call;
    PyObject* query_obj = nullptr;
    Py_ssize_t threads = 1;
    const char* kernel = "";
    int reference = 0;
    Py_ssize_t group_rows = 0;
    PyObject* progress_obj = nullptr;
    Py_ssize_t chunk_rows = 0;
    if (!PyArg_ParseTupleAndKeywords(args, kwargs, "OOn|spnOn:impute", const_cast<char**>(keywords), &call.donors_obj,
                                     &query_obj, &threads, &kernel, &reference, &group_rows, &progress_obj,
                                     &chunk_rows)) {
        throw ErrorAlreadySet{};
    }
    call.donors = &donors_of(call.donors_obj);
    call.query = float64_matrix(query_obj, "query");
    if (call.query.cols != call.donors->cols()) {
        raise(PyExc_ValueError, "query has " + std::to_string(call.query.cols) + " columns, the fitted table has " +
                                    std::to_string(call.donors->cols()));
    }
    if (group_rows < 0) {
        raise(PyExc_ValueError, "group_rows must be at least 0, not " + std::to_string(group_rows));
    }
    call.options = pass_options_arg("threads", threads, chunk_rows);
    call.progress = progress_arg(progress_obj);
    call.kernel = kernel;
    call.reference = reference != 0;
    call.group_rows = static_cast<std::size_t>(group_rows);
    return call;
}

PyObject* gower_impute(PyObject*, PyObject* args, PyObject* kwargs) noexcept {
    return guard_object([&]() -> PyObject* {
        const ImputeCall call = impute_call(args, kwargs);
        const MatrixArg& query = call.query;
        // The donors and the progress callable live through the pass.
        const Ref donors_hold = Ref::borrow(call.donors_obj);
        const Ref progress_hold = Ref::borrow(call.progress);
        // The result starts as a copy of the query: the pass reads and writes only it.
        npy_intp dims[2] = {static_cast<npy_intp>(query.rows), static_cast<npy_intp>(query.cols)};
        Ref result = check(PyArray_SimpleNew(2, dims, NPY_DOUBLE));
        auto* out = static_cast<double*>(PyArray_DATA(reinterpret_cast<PyArrayObject*>(result.get())));
        if (query.rows * query.cols != 0) {
            std::memcpy(out, query.data, query.rows * query.cols * sizeof(double));
        }
        const bool completed = run_pass_released(call.progress, call.options, [&](const knn::PassOptions& options) {
            if (call.reference) {
                knn::gower_reference(*call.donors, out, query.rows, 0, query.rows);
                if (options.poll) {
                    options.poll(query.rows, query.rows);
                }
            } else {
                knn::gower_fast(*call.donors, out, query.rows, 0, query.rows, options, call.kernel, call.group_rows);
            }
        });
        if (!completed) {
            throw ErrorAlreadySet{};
        }
        return result.release();
    });
}

PyObject* gower_summaries(PyObject*, PyObject* donors_obj) noexcept {
    return guard_object([&]() -> PyObject* {
        const knn::GowerDonors& donors = donors_of(donors_obj);
        npy_intp dims[1] = {static_cast<npy_intp>(donors.cols())};
        Ref result = check(PyArray_SimpleNew(1, dims, NPY_DOUBLE));
        if (donors.cols() != 0) {
            std::memcpy(PyArray_DATA(reinterpret_cast<PyArrayObject*>(result.get())), donors.summaries().data(),
                        donors.cols() * sizeof(double));
        }
        return result.release();
    });
}

PyObject* gower_kernel_names(PyObject*, PyObject*) noexcept {
    return guard_object([&]() -> PyObject* {
        const std::vector<std::string> names = knn::gower_kernels();
        Ref list = check(PyList_New(0));
        for (const std::string& name : names) {
            Ref item = check(PyUnicode_FromString(name.c_str()));
            check_status(PyList_Append(list.get(), item.get()));
        }
        return PyList_AsTuple(list.get());
    });
}

// A METH_VARARGS | METH_KEYWORDS, METH_O or METH_NOARGS function as the table's type.
template <class F>
PyCFunction as_method(F* f) noexcept {
    return reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)(void)>(f));
}

PyMethodDef gower_methods[] = {
    {"build", as_method(&gower_build), METH_VARARGS | METH_KEYWORDS,
     "build(fitted, columns, k, numeric, weighted_votes)\n--\n\nThe fitted side of the Gower pass."},
    {"impute", as_method(&gower_impute), METH_VARARGS | METH_KEYWORDS,
     "impute(donors, query, threads, kernel='', reference=False, group_rows=0, progress=None, chunk_rows=0)\n--\n\n"
     "A copy of query, its missing cells imputed."},
    {"summaries", as_method(&gower_summaries), METH_O, "summaries(donors)\n--\n\nThe fitted columns' summaries."},
    {"kernels", as_method(&gower_kernel_names), METH_NOARGS, "kernels()\n--\n\nThe loops available here."},
    {nullptr, nullptr, 0, nullptr},
};

int gower_exec(PyObject*) noexcept { return _import_array() < 0 ? -1 : 0; }

PyModuleDef_Slot gower_slots[] = {
    {Py_mod_exec, reinterpret_cast<void*>(&gower_exec)},
    {0, nullptr},
};

PyModuleDef gower_module = module_def("mirel._gower", "The Gower pass behind mirel.sklearn.MixedImputer (private).",
                                      gower_methods, gower_slots);

}  // namespace
}  // namespace mirel::py

// NOLINTNEXTLINE(bugprone-reserved-identifier)
PyMODINIT_FUNC PyInit__gower(void) { return PyModuleDef_Init(&mirel::py::gower_module); }
