// mirel._query.Donors: the fitted side of the query pass, built once by fit and read by every
// transform, and the checks of the arguments its methods share.
#pragma once

#include "module/arrays.hpp"
#include "module/names.hpp"
#include "utils/py_ref.hpp"

#include <cstddef>
#include <string_view>
#include <vector>

#include "knn/query/query.hpp"
#include "knn/query/query_fast.hpp"

namespace mirel::py::query {

// Instance layout: the object header and the engine's fitted side, which the object owns.
struct DonorsObject {
    PyObject_HEAD
    knn::QueryDonors* donors;  // null only if building it failed
    bool tracked;              // reported to the interpreter's memory accounting
};

// The type's spec (mirel._query.Donors).
PyType_Spec* donors_spec() noexcept;

// The fitted side of a Donors object; ValueError when it was never built.
const knn::QueryDonors& donors_of(PyObject* self);

// --- Arguments of the pass methods -------------------------------------------------------

// What a `kernel` argument chooses: the straightforward pass (named REFERENCE_PASS), or the fast
// pass over the distance kernel of an instruction set (named by knn::kernel_name).
struct PassChoice {
    bool reference = false;
    knn::KernelKind kernel = knn::best_kernel();
};
inline constexpr std::string_view REFERENCE_PASS = "reference";

// The pass named by `obj` (a str, or None for the best one here).
PassChoice kernel_arg(PyObject* obj);

// n_neighbors, at least 1.
std::size_t neighbours_arg(Py_ssize_t n_neighbors);

// The query argument of a method: writeable, of the fitted width.
MatrixArg query_arg(PyObject* obj, const knn::QueryDonors& donors);

// Optional (query rows x fitted rows) distance matrix (None: no distances), copied into `copy`.
knn::GivenDistances given_distances(PyObject* obj, const knn::QueryDonors& donors, const MatrixArg& query,
                                    std::vector<double>& copy);

// --- Methods (each in the file of its step) ----------------------------------------------

// Donors.impute(query, n_neighbors, weights, distances=None, kernel=None)
PyObject* Donors_impute(PyObject* self, PyObject* args, PyObject* kwargs) noexcept;

// Donors.select(query, n_neighbors, index, distance, distances=None)
PyObject* Donors_select(PyObject* self, PyObject* args, PyObject* kwargs) noexcept;

// Donors.impute_parallel(query, n_neighbors, weights, n_threads, progress=None, chunk_rows=0,
//                        kernel=None)
PyObject* Donors_impute_parallel(PyObject* self, PyObject* args, PyObject* kwargs) noexcept;

}  // namespace mirel::py::query
