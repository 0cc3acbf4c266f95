#include "module/names.hpp"

#include <string>

namespace mirel::py {

knn::Weights weights_arg(const char* name) {
    const knn::Weights weights = knn::parse_weights(name);
    if (weights == knn::Weights::unknown) {
        raise(PyExc_ValueError, "weights must be '" + std::string(knn::ALLOWED_WEIGHTS[0]) + "' or '" +
                                    std::string(knn::ALLOWED_WEIGHTS[1]) + "', not '" + name + "'");
    }
    return weights;
}

PyObject* metric_names() noexcept {
    Ref names = Ref::steal(PyTuple_New(static_cast<Py_ssize_t>(knn::METRIC_NAMES.size())));
    if (!names) {
        return nullptr;
    }
    for (std::size_t i = 0; i < knn::METRIC_NAMES.size(); ++i) {
        PyObject* name = PyUnicode_FromStringAndSize(knn::METRIC_NAMES[i].data(),
                                                     static_cast<Py_ssize_t>(knn::METRIC_NAMES[i].size()));
        if (name == nullptr) {
            return nullptr;
        }
        if (PyTuple_SetItem(names.get(), static_cast<Py_ssize_t>(i), name) < 0) {  // steals `name`
            return nullptr;
        }
    }
    return names.release();
}

}  // namespace mirel::py
