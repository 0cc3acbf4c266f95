// The checks of the arguments that the pass methods of mirel._query.Donors share.
#include "module/names.hpp"
#include "module/query/donors.hpp"
#include "module/query/snapshot.hpp"
#include "utils/errors.hpp"

#include <string>
#include <string_view>

#define MIREL_NUMPY_NO_IMPORT
#include "utils/numpy.hpp"

namespace mirel::py::query {

const knn::QueryDonors& donors_of(PyObject* self) {
    const knn::QueryDonors* donors = reinterpret_cast<DonorsObject*>(self)->donors;
    if (donors == nullptr) {
        raise(PyExc_ValueError, "Donors object is not initialised");
    }
    return *donors;
}

PassChoice kernel_arg(PyObject* obj) {
    if (obj == nullptr || obj == Py_None) {
        return PassChoice{};
    }
    if (!PyUnicode_Check(obj)) {
        raise(PyExc_TypeError, "kernel must be a str or None, not '" + type_qualname(Py_TYPE(obj)) + "'");
    }
    const char* utf8 = PyUnicode_AsUTF8(obj);
    if (utf8 == nullptr) {
        throw ErrorAlreadySet{};
    }
    if (REFERENCE_PASS == utf8) {
        return PassChoice{true};
    }
    for (const knn::KernelKind kernel : knn::available_kernels()) {
        if (knn::kernel_name(kernel) == utf8) {
            return PassChoice{false, kernel};
        }
    }
    raise(PyExc_ValueError, std::string("kernel '") + utf8 + "' is not available here");
}

std::size_t neighbours_arg(Py_ssize_t n_neighbors) {
    if (n_neighbors < 1) {
        raise(PyExc_ValueError, "n_neighbors must be at least 1, not " + std::to_string(n_neighbors));
    }
    return static_cast<std::size_t>(n_neighbors);
}

MatrixArg query_arg(PyObject* obj, const knn::QueryDonors& donors) {
    const MatrixArg query = matrix_arg(obj, "query", NPY_DOUBLE, "float64", Layout::writeable);
    if (query.cols != donors.cols()) {
        raise(PyExc_ValueError,
              "query has " + std::to_string(query.cols) + " columns, fitted has " + std::to_string(donors.cols()));
    }
    return query;
}

knn::GivenDistances given_distances(PyObject* obj, const knn::QueryDonors& donors, const MatrixArg& query,
                                    std::vector<double>& copy) {
    if (obj == nullptr || obj == Py_None) {
        return {};
    }
    const MatrixArg d = matrix_arg(obj, "distances", NPY_DOUBLE, "float64", Layout::aligned);
    if (d.rows != query.rows || d.cols != donors.rows()) {
        raise(PyExc_ValueError, "distances must have shape (" + std::to_string(query.rows) + ", " +
                                    std::to_string(donors.rows()) + "), not (" + std::to_string(d.rows) + ", " +
                                    std::to_string(d.cols) + ")");
    }
    check_apart(query, d, "distances");
    copy = copy_of(d);
    return {copy.data()};
}

}  // namespace mirel::py::query
