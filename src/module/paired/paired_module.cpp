// mirel._paired: blocks of rows of the row-paired pass ("row r of the input is imputed from the
// fitted rows nearest to fitted row r"), for mirel.dask. Private: mirel.dask checks the user's
// configuration with mirel.KnnImputer itself (its own messages) and hands over C-contiguous
// float64 matrices; everything else is refused here with a clear error.
//
// impute_rows(fitted, block, first_row, k, metric, weights) returns a new array: `block`, rows
// [first_row, first_row + len(block)) of an input of the fitted shape, with its NaN cells
// imputed exactly as mirel.KnnImputer(k, metric, weights).fit(fitted).transform(whole input)
// imputes those rows. The fitted table is copied into the engine's record, the block into the
// result; the pass then runs on memory of its own with the interpreter lock released.
#include "module/arrays.hpp"
#include "module/extension.hpp"
#include "module/names.hpp"
#include "utils/errors.hpp"
#include "utils/lock.hpp"

#include <cstdint>
#include <cstring>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "utils/numpy.hpp"

#include "knn/core/checked.hpp"
#include "knn/core/imputer.hpp"
#include "knn/row/row_range.hpp"

namespace mirel::py {
namespace {

// A 2-D C-contiguous native float64 array. It may be misaligned (unpickled from a protocol 5
// buffer at any offset): its bytes are only ever copied with memcpy.
MatrixArg float64_matrix(PyObject* obj, const char* name) {
    return matrix_arg(obj, name, NPY_DOUBLE, "float64", Layout::any_alignment);
}

// The arguments of impute_rows, checked.
struct RowsCall {
    MatrixArg fitted;
    MatrixArg block;
    std::size_t first_row = 0;
    std::uint32_t k = 0;
    const char* metric = nullptr;
    const char* weights = nullptr;
};

RowsCall rows_call(PyObject* args, PyObject* kwargs) {
    static const char* keywords[] = {"fitted", "block", "first_row", "k", "metric", "weights", nullptr};
    PyObject* fitted_obj = nullptr;
    PyObject* block_obj = nullptr;
    Py_ssize_t first_row = 0;
    Py_ssize_t k = 0;
    RowsCall call;
    if (!PyArg_ParseTupleAndKeywords(args, kwargs, "OOnnss:impute_rows", const_cast<char**>(keywords), &fitted_obj,
                                     &block_obj, &first_row, &k, &call.metric, &call.weights)) {
        throw ErrorAlreadySet{};
    }
    call.fitted = float64_matrix(fitted_obj, "fitted");
    call.block = float64_matrix(block_obj, "block");
    if (call.block.cols != call.fitted.cols) {
        raise(PyExc_ValueError, "block has " + std::to_string(call.block.cols) + " columns, fitted has " +
                                    std::to_string(call.fitted.cols));
    }
    if (first_row < 0 || static_cast<std::size_t>(first_row) > call.fitted.rows ||
        call.block.rows > call.fitted.rows - static_cast<std::size_t>(first_row)) {
        raise(PyExc_ValueError, "rows [" + std::to_string(first_row) + ", " + std::to_string(first_row) + " + " +
                                    std::to_string(call.block.rows) + ") are not rows of the fitted table (" +
                                    std::to_string(call.fitted.rows) + " rows)");
    }
    if (k < 0 || static_cast<std::uint64_t>(k) > UINT32_MAX) {
        raise(PyExc_ValueError, "k must lie in 0 to 4294967295, not " + std::to_string(k));
    }
    weights_arg(call.weights);
    call.first_row = static_cast<std::size_t>(first_row);
    call.k = static_cast<std::uint32_t>(k);
    return call;
}

// The record: the configuration and a copy of the fitted table.
knn::KnnImputer record_of(const RowsCall& call) {
    knn::KnnImputer imputer = knn::KnnImputer::create(call.k, call.metric, call.weights);
    std::vector<double> fitted_values(knn::checked_count<double>(knn::checked_mul(call.fitted.rows, call.fitted.cols)));
    if (!fitted_values.empty()) {
        std::memcpy(fitted_values.data(), call.fitted.data, fitted_values.size() * sizeof(double));
    }
    imputer.store_fitted(std::move(fitted_values), call.fitted.rows, call.fitted.cols);
    return imputer;
}

// A new array holding a copy of the block.
Ref copy_of_block(const RowsCall& call) {
    npy_intp dims[2] = {static_cast<npy_intp>(call.block.rows), static_cast<npy_intp>(call.fitted.cols)};
    Ref result = check(PyArray_SimpleNew(2, dims, NPY_DOUBLE));
    const std::size_t bytes = knn::checked_bytes<double>(knn::checked_mul(call.block.rows, call.fitted.cols));
    if (bytes != 0) {
        std::memcpy(PyArray_DATA(reinterpret_cast<PyArrayObject*>(result.get())), call.block.data, bytes);
    }
    return result;
}

PyObject* paired_impute_rows(PyObject*, PyObject* args, PyObject* kwargs) noexcept {
    return guard_object([&]() -> PyObject* {
        const RowsCall call = rows_call(args, kwargs);
        // 1. The record; 2. the result, starting as a copy of the block.
        const knn::KnnImputer imputer = record_of(call);
        Ref result = copy_of_block(call);
        auto* out = static_cast<double*>(PyArray_DATA(reinterpret_cast<PyArrayObject*>(result.get())));
        // 3. The pass, on memory nobody else sees, without the interpreter lock.
        std::optional<knn::UnknownMetric> error;
        {
            const LockReleased unlocked;
            error = knn::impute_row_range(imputer, {out, knn::checked_mul(call.block.rows, call.fitted.cols)},
                                          call.first_row);
        }
        if (error) {
            raise(PyExc_TypeError, error->message);
        }
        return result.release();
    });
}

PyMethodDef paired_methods[] = {
    {"impute_rows", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)(void)>(&paired_impute_rows)),
     METH_VARARGS | METH_KEYWORDS,
     "impute_rows(fitted, block, first_row, k, metric, weights)\n--\n\n"
     "Rows [first_row, first_row + len(block)) of a fitted-shape input, imputed as in the whole input."},
    {nullptr, nullptr, 0, nullptr},
};

int paired_exec(PyObject* module) noexcept {
    if (_import_array() < 0) {
        return -1;
    }
    // The metric names, for mirel.dask's own check.
    PyObject* metrics = metric_names();
    if (metrics == nullptr || PyModule_AddObject(module, "METRICS", metrics) < 0) {
        Py_XDECREF(metrics);
        return -1;
    }
    return 0;
}

PyModuleDef_Slot paired_slots[] = {
    {Py_mod_exec, reinterpret_cast<void*>(&paired_exec)},
    {0, nullptr},
};

PyModuleDef paired_module =
    module_def("mirel._paired", "Blocks of rows of mirel.KnnImputer's pass, for mirel.dask (private).", paired_methods,
               paired_slots);

}  // namespace
}  // namespace mirel::py

// The interpreter finds the module by this name (PyInit_ and the module's name, "_paired").
// NOLINTNEXTLINE(bugprone-reserved-identifier)
PyMODINIT_FUNC PyInit__paired(void) { return PyModuleDef_Init(&mirel::py::paired_module); }
