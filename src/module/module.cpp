// The extension module `mirel`: multi-phase initialisation with one execution step.
#include "module/errors.hpp"
#include "module/knn_imputer.hpp"

namespace mirel::py {
namespace {

// The interpreter runs this once on the fresh module object it made from mirel_module: a module
// without attributes of its own yet.
int mirel_exec(PyObject* module) noexcept {
    return guard_status([&]() -> int {
        PyObject* type = reinterpret_cast<PyObject*>(knn_imputer_type());
        Ref all = check(Py_BuildValue("[s]", "KnnImputer"));
        check_status(PyObject_SetAttrString(module, "__all__", all.get()));
        check_status(PyObject_SetAttrString(module, "KnnImputer", type));
        return 0;
    });
}

PyModuleDef_Slot mirel_slots[] = {
    {Py_mod_exec, reinterpret_cast<void*>(&mirel_exec)},
    {0, nullptr},
};

PyModuleDef mirel_module = {
    PyModuleDef_HEAD_INIT,
    "mirel",
    "Exact, bit-reproducible k-nearest-neighbour imputation of the missing cells of numeric tables.",
    0,
    nullptr,
    mirel_slots,
    nullptr,
    nullptr,
    nullptr,
};

}  // namespace
}  // namespace mirel::py

PyMODINIT_FUNC PyInit_mirel(void) { return PyModuleDef_Init(&mirel::py::mirel_module); }
