// The extension module `mirel`: multi-phase initialisation with one execution step.
#include "module/extension.hpp"
#include "module/knn_imputer.hpp"
#include "utils/errors.hpp"

namespace mirel::py {
namespace {

// The interpreter runs this once on the module object it made from mirel_module. A loader may
// also be handed a module that already holds an `__all__` (importlib's exec_module on a module of
// the caller's): the name is appended to that list, and a list is made only where there is none.
int mirel_exec(PyObject* module) noexcept {
    return guard_status([&]() -> int {
        if (!PyModule_Check(module)) {
            raise(PyExc_TypeError, "'" + type_qualname(Py_TYPE(module)) + "' object is not an instance of 'module'");
        }
        PyObject* type = reinterpret_cast<PyObject*>(knn_imputer_type());
        Ref all = Ref::steal(PyObject_GetAttrString(module, "__all__"));
        if (!all) {
            if (!PyErr_ExceptionMatches(PyExc_AttributeError)) {
                throw ErrorAlreadySet{};
            }
            PyErr_Clear();
            all = check(PyList_New(0));
            check_status(PyObject_SetAttrString(module, "__all__", all.get()));
        }
        if (!PyList_Check(all.get())) {
            raise_not_instance(all.get(), "list");
        }
        Ref name = check(PyUnicode_FromString("KnnImputer"));
        check_status(PyList_Append(all.get(), name.get()));
        check_status(PyObject_SetAttrString(module, "KnnImputer", type));
        return 0;
    });
}

PyModuleDef_Slot mirel_slots[] = {
    {Py_mod_exec, reinterpret_cast<void*>(&mirel_exec)},
    {0, nullptr},
};

PyModuleDef mirel_module = module_def(
    "mirel", "Exact, bit-reproducible k-nearest-neighbour imputation of the missing cells of numeric tables.", nullptr,
    mirel_slots);

}  // namespace
}  // namespace mirel::py

PyMODINIT_FUNC PyInit_mirel(void) { return PyModuleDef_Init(&mirel::py::mirel_module); }
