// Donors.impute and Donors.select: the pass on the calling thread with the interpreter lock
// held, on a snapshot of the query matrix (module/query/snapshot.hpp).
#include "module/query/donors.hpp"
#include "module/query/snapshot.hpp"
#include "utils/errors.hpp"

#include <cstdint>
#include <string>
#include <vector>

#define MIREL_NUMPY_NO_IMPORT
#include "utils/numpy.hpp"

#include "knn/query/query_parallel.hpp"

namespace mirel::py::query {
namespace {

// The straightforward pass reads the fitted rows row by row: a temporary copy of them.
struct FittedRows {
    std::vector<double> table;
    knn::TableView view;

    explicit FittedRows(const knn::QueryDonors& donors)
        : table(donors.table()), view{table.data(), donors.rows(), donors.cols()} {}
};

// The selection outputs of Donors.select, checked against the cells the snapshot counted and
// against the query and each other.
knn::SelectionOut selection_out(const MatrixArg& index, const MatrixArg& distance, const MatrixArg& query,
                                std::size_t cells, std::size_t k) {
    if (index.rows != cells || index.cols != k || distance.rows != cells || distance.cols != k) {
        raise(PyExc_ValueError,
              "index and distance must have shape (" + std::to_string(cells) + ", " + std::to_string(k) + ")");
    }
    check_apart(query, index, "index");
    check_apart(query, distance, "distance");
    if (overlap(index, distance)) {
        raise(PyExc_ValueError, "index and distance must not share memory");
    }
    return {reinterpret_cast<std::int64_t*>(index.data), reinterpret_cast<double*>(distance.data), k};
}

}  // namespace

PyObject* Donors_impute(PyObject* self, PyObject* args, PyObject* kwargs) noexcept {
    return guard_object([&]() -> PyObject* {
        static const char* keywords[] = {"query", "n_neighbors", "weights", "distances", "kernel", nullptr};
        PyObject* query_obj = nullptr;
        Py_ssize_t n_neighbors = 0;
        const char* weights_name = nullptr;
        PyObject* distances_obj = nullptr;
        PyObject* kernel_obj = nullptr;
        if (!PyArg_ParseTupleAndKeywords(args, kwargs, "Ons|OO:impute", const_cast<char**>(keywords), &query_obj,
                                         &n_neighbors, &weights_name, &distances_obj, &kernel_obj)) {
            return nullptr;
        }
        const knn::QueryDonors& donors = donors_of(self);
        const MatrixArg query = query_arg(query_obj, donors);
        const std::size_t k = neighbours_arg(n_neighbors);
        const knn::Weights weights = weights_arg(weights_name);
        std::vector<double> given_copy;
        const knn::GivenDistances given = given_distances(distances_obj, donors, query, given_copy);
        const PassChoice pass = kernel_arg(kernel_obj);
        QuerySnapshot snap = snapshot_query(query, donors.columns());
        if (pass.reference || given.values != nullptr) {
            const FittedRows fitted(donors);
            knn::query_reference(fitted.view, donors.columns(), snap.data(), snap.rows, 0, snap.rows, k, weights,
                                 given);
        } else {
            knn::query_pass({donors, snap.data(), snap.rows, 0, snap.rows, k, weights, pass.kernel});
        }
        write_back(snap, query);
        Py_RETURN_NONE;
    });
}

PyObject* Donors_select(PyObject* self, PyObject* args, PyObject* kwargs) noexcept {
    return guard_object([&]() -> PyObject* {
        static const char* keywords[] = {"query", "n_neighbors", "index", "distance", "distances", nullptr};
        PyObject* objs[4] = {nullptr, nullptr, nullptr, nullptr};  // query, index, distance, distances
        Py_ssize_t n_neighbors = 0;
        if (!PyArg_ParseTupleAndKeywords(args, kwargs, "OnOO|O:select", const_cast<char**>(keywords), &objs[0],
                                         &n_neighbors, &objs[1], &objs[2], &objs[3])) {
            return nullptr;
        }
        const knn::QueryDonors& donors = donors_of(self);
        const MatrixArg query = query_arg(objs[0], donors);
        const std::size_t k = neighbours_arg(n_neighbors);
        const MatrixArg index = matrix_arg(objs[1], "index", NPY_INT64, "int64", Layout::writeable);
        const MatrixArg distance = matrix_arg(objs[2], "distance", NPY_DOUBLE, "float64", Layout::writeable);
        std::vector<double> given_copy;
        const knn::GivenDistances given = given_distances(objs[3], donors, query, given_copy);
        // The selections written below are exactly the cells counted here, in the copy.
        QuerySnapshot snap = snapshot_query(query, donors.columns());
        const knn::SelectionOut out = selection_out(index, distance, query, snap.cells, k);
        const FittedRows fitted(donors);
        knn::query_select_reference(fitted.view, donors.columns(), snap.data(), snap.rows, 0, snap.rows, k, out, given);
        write_back(snap, query);
        Py_RETURN_NONE;
    });
}

}  // namespace mirel::py::query
