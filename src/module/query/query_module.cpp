// mirel._query: the query pass for mirel.sklearn. Private: the Python layer validates the
// user's input (scikit-learn's conventions) and hands over only C-contiguous float64 matrices
// with NaN marking the missing cells; everything else is refused here with a clear error.
//
// Donors(fitted) holds the fitted side (the engine's QueryDonors: the column-blocked panel is the
// only copy of the fitted values), reported to the interpreter's memory accounting while it
// lives (query/donors.cpp). Its methods write into the caller's query matrix in place, from a
// snapshot read once at the start (query/snapshot.hpp); the engine's working memory is freed
// before they return.
//
// StateLock is the readers-writer lock of an estimator's fitted state (query/state_lock.cpp).
#include "module/extension.hpp"
#include "module/query/donors.hpp"
#include "module/query/rows.hpp"
#include "module/query/state_lock.hpp"
#include "utils/errors.hpp"

#include <string_view>

#include "utils/numpy.hpp"

namespace mirel::py {
namespace {

Ref name_object(std::string_view name) {
    return check(PyUnicode_FromStringAndSize(name.data(), static_cast<Py_ssize_t>(name.size())));
}

// kernels(): names of the passes this build and processor can run, the default first.
PyObject* query_kernels(PyObject*, PyObject*) noexcept {
    return guard_object([&]() -> PyObject* {
        const knn::KernelKind best = knn::best_kernel();
        Ref names = check(PyList_New(0));
        check_status(PyList_Append(names.get(), name_object(knn::kernel_name(best)).get()));
        check_status(PyList_Append(names.get(), name_object(query::REFERENCE_PASS).get()));
        for (const knn::KernelKind kernel : knn::available_kernels()) {
            if (kernel != best) {
                check_status(PyList_Append(names.get(), name_object(knn::kernel_name(kernel)).get()));
            }
        }
        return PyList_AsTuple(names.get());
    });
}

PyMethodDef query_methods[] = {
    {"kernels", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)(void)>(&query_kernels)), METH_NOARGS,
     "kernels()\n--\n\nNames of the query passes available here, the default first."},
    {nullptr, nullptr, 0, nullptr},
};

int query_exec(PyObject* module) noexcept {
    return guard_status([&]() -> int {
        if (_import_array() < 0) {
            throw ErrorAlreadySet{};
        }
        Ref type = Ref::steal(reinterpret_cast<PyObject*>(create_type(query::donors_spec())));
        check_status(PyObject_SetAttrString(module, "Donors", type.get()));
        Ref rows_type = Ref::steal(reinterpret_cast<PyObject*>(create_type(query::rows_spec())));
        check_status(PyObject_SetAttrString(module, "Rows", rows_type.get()));
        query::add_state_lock_types(module);
        return 0;
    });
}

PyModuleDef_Slot query_slots[] = {
    {Py_mod_exec, reinterpret_cast<void*>(&query_exec)},
    {0, nullptr},
};

PyModuleDef query_module =
    module_def("mirel._query", "The query pass behind mirel.sklearn (private).", query_methods, query_slots);

}  // namespace
}  // namespace mirel::py

// The interpreter finds the module by this name (PyInit_ and the module's name, "_query").
// NOLINTNEXTLINE(bugprone-reserved-identifier)
PyMODINIT_FUNC PyInit__query(void) { return PyModuleDef_Init(&mirel::py::query_module); }
