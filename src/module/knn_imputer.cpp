#include "module/knn_imputer.hpp"

#include <atomic>
#include <cstdint>
#include <limits>
#include <new>
#include <optional>
#include <string>
#include <variant>

#include "knn/core/checked.hpp"
#include "knn/core/imputer.hpp"
#include "knn/core/panic.hpp"
#include "knn/row/impute.hpp"
#include "module/args.hpp"
#include "utils/convert.hpp"
#include "utils/errors.hpp"
#include "utils/memory.hpp"
#include "utils/pypy_compat.hpp"

namespace mirel::py {
namespace {

// Instance layout: the object header, the engine's record, then the borrow flag
// (0 = free, EXCLUSIVE = taken for a store, anything else = number of shared borrows).
struct KnnImputerObject {
    PyObject_HEAD
    alignas(knn::KnnImputer) unsigned char storage[sizeof(knn::KnnImputer)];
    std::size_t borrow_flag;
};

constexpr std::size_t EXCLUSIVE = std::numeric_limits<std::size_t>::max();

KnnImputerObject* as_imputer(PyObject* self) noexcept { return reinterpret_cast<KnnImputerObject*>(self); }

knn::KnnImputer& record(PyObject* self) noexcept {
    return *std::launder(reinterpret_cast<knn::KnnImputer*>(as_imputer(self)->storage));
}

std::atomic_ref<std::size_t> borrow_flag(PyObject* self) noexcept {
    return std::atomic_ref<std::size_t>(as_imputer(self)->borrow_flag);
}

// A counted shared borrow, held by transform and by reading k.
class SharedBorrow {
public:
    explicit SharedBorrow(PyObject* self) : flag_(borrow_flag(self)) {
        std::size_t current = flag_.load();
        do {
            if (current == EXCLUSIVE) {
                raise(PyExc_RuntimeError, "Already mutably borrowed");
            }
        } while (!flag_.compare_exchange_weak(current, current + 1));
    }
    ~SharedBorrow() { flag_.fetch_sub(1); }
    SharedBorrow(const SharedBorrow&) = delete;
    SharedBorrow& operator=(const SharedBorrow&) = delete;

private:
    std::atomic_ref<std::size_t> flag_;
};

// The exclusive borrow of a store: only taken when the flag is free.
class ExclusiveBorrow {
public:
    static bool try_take(PyObject* self) noexcept {
        std::size_t expected = 0;
        return borrow_flag(self).compare_exchange_strong(expected, EXCLUSIVE);
    }
    explicit ExclusiveBorrow(PyObject* self) noexcept : flag_(borrow_flag(self)) {}
    ~ExclusiveBorrow() { flag_.exchange(0); }
    ExclusiveBorrow(const ExclusiveBorrow&) = delete;
    ExclusiveBorrow& operator=(const ExclusiveBorrow&) = delete;

private:
    std::atomic_ref<std::size_t> flag_;
};

void check_self(PyObject* self) {
    if (!PyObject_TypeCheck(self, knn_imputer_type())) {
        raise_not_instance(self, "KnnImputer");
    }
}

// k: a Python int or an object with __index__, from 0 to 2^32 - 1.
std::uint32_t convert_k(PyObject* value) {
    Ref index = check(PyNumber_Index(value));
    const unsigned long long v = PyLong_AsUnsignedLongLong(index.get());
    if (v == static_cast<unsigned long long>(-1) && PyErr_Occurred()) {
        throw ErrorAlreadySet{};
    }
    if (v > std::numeric_limits<std::uint32_t>::max()) {
        raise(PyExc_OverflowError, "out of range integral type conversion attempted");
    }
    return static_cast<std::uint32_t>(v);
}

std::string convert_str(PyObject* value) {
    if (!PyUnicode_Check(value)) {
        raise_not_instance(value, "str");
    }
    Py_ssize_t size = 0;
    const char* utf8 = PyUnicode_AsUTF8AndSize(value, &size);
    if (utf8 == nullptr) {
        throw ErrorAlreadySet{};
    }
    return std::string(utf8, static_cast<std::size_t>(size));
}

const Signature NEW_SIGNATURE{"KnnImputer.__new__()", {"k", "metric", "weights"}, 3, 0};
const Signature FIT_SIGNATURE{"KnnImputer.fit()", {"data"}, 1, 1};
const Signature TRANSFORM_SIGNATURE{"KnnImputer.transform()", {"data"}, 1, 1};

PyObject* KnnImputer_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) noexcept {
    return guard_object([&]() -> PyObject* {
        // CPython makes this check before it calls tp_new; PyPy does not, and
        // `KnnImputer.__new__(int)` would build the record inside an int-sized object.
        if (!PyType_IsSubtype(type, knn_imputer_type())) {
            const std::string name = type->tp_name;
            raise(PyExc_TypeError, "KnnImputer.__new__(" + name + "): " + name + " is not a subtype of KnnImputer");
        }
        const Bound bound = bind_tuple_dict(NEW_SIGNATURE, args, kwargs);
        const std::uint32_t k = bound[0] ? convert_argument("k", [&] { return convert_k(bound[0]); }) : 5;
        std::string metric =
            bound[1] ? convert_argument("metric", [&] { return convert_str(bound[1]); }) : "nan_euclid";
        std::string weights = bound[2] ? convert_argument("weights", [&] { return convert_str(bound[2]); }) : "uniform";
        knn::KnnImputer imputer = knn::KnnImputer::create(k, std::move(metric), std::move(weights));

        auto alloc = reinterpret_cast<allocfunc>(PyType_GetSlot(type, Py_tp_alloc));
        PyObject* self = alloc(type, 0);
        if (self == nullptr) {
            throw ErrorAlreadySet{};
        }
        new (as_imputer(self)->storage) knn::KnnImputer(std::move(imputer));
        as_imputer(self)->borrow_flag = 0;
        return self;
    });
}

void KnnImputer_dealloc(PyObject* self) noexcept {
    PyTypeObject* type = Py_TYPE(self);
    untrack_buffer(record(self).fitted_values().data());
    record(self).~KnnImputer();
    auto free_fn = reinterpret_cast<freefunc>(PyType_GetSlot(type, Py_tp_free));
    free_fn(self);
    Py_DECREF(type);
}

PyObject* KnnImputer_get_k(PyObject* self, void*) noexcept {
    return guard_object([&]() -> PyObject* {
        check_self(self);
        SharedBorrow borrow(self);
        return check(PyLong_FromUnsignedLong(record(self).k())).release();
    });
}

int KnnImputer_set_k(PyObject* self, PyObject* value, void*) noexcept {
    return guard_status([&]() -> int {
        if (value == nullptr) {
            raise(PyExc_AttributeError, "property has no deleter");
        }
        const std::uint32_t k = convert_argument("k", [&] { return convert_k(value); });
        check_self(self);
        if (!ExclusiveBorrow::try_take(self)) {
            raise(PyExc_RuntimeError, "Already borrowed");
        }
        ExclusiveBorrow borrow(self);
        record(self).set_k(k);
        return 0;
    });
}

PyObject* KnnImputer_fit(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) noexcept {
    return guard_object([&]() -> PyObject* {
        PyObject* data = bind_fastcall(FIT_SIGNATURE, args, nargs, kwnames)[0];
        check_self(self);
        // No borrow during the conversion: it may run the input's own Python code.
        utils::Matrix matrix = utils::pyany_to_vec(data);
        if (!ExclusiveBorrow::try_take(self)) {
            throw knn::Panic("Already borrowed: PyBorrowMutError");
        }
        ExclusiveBorrow borrow(self);
        // The new matrix is reported before it is stored, so a failure leaves the imputer as
        // it was; the matrix it replaces is withdrawn before it is freed.
        track_buffer(matrix.values.data(), matrix.values.size() * sizeof(double));
        untrack_buffer(record(self).fitted_values().data());
        record(self).store_fitted(std::move(matrix.values), matrix.rows, matrix.cols);
        Py_INCREF(self);
        return self;
    });
}

// The result has the fitted shape: its cells must fill it exactly, or transform fails with a
// ValueError that says how they do not. Returns that message, or nullptr when they fit.
const char* cell_count_error(std::size_t rows, std::size_t cols, std::size_t cells) noexcept {
    constexpr auto max_size = static_cast<std::size_t>(std::numeric_limits<Py_ssize_t>::max());
    const std::optional<std::size_t> shape_cells = knn::try_mul(rows, cols);
    // Not reached with a fitted record as it is built: rows x cols values were stored, so the
    // product fits (and a zero width makes it 0). Kept as the check the result's shape has.
    if (!shape_cells || *shape_cells > max_size) {
        return "ShapeError/Overflow: arithmetic overflow";
    }
    if (cells < *shape_cells) {
        return "ShapeError/OutOfBounds: out of bounds indexing";
    }
    if (cells > *shape_cells) {
        return "ShapeError/IncompatibleShape: incompatible shapes";
    }
    return nullptr;
}

PyObject* KnnImputer_transform(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) noexcept {
    return guard_object([&]() -> PyObject* {
        PyObject* data = bind_fastcall(TRANSFORM_SIGNATURE, args, nargs, kwnames)[0];
        check_self(self);
        // Held across the conversion, which may call back into this imputer: fit and k
        // assignment then fail cleanly, reads and nested transforms proceed.
        SharedBorrow borrow(self);
        const knn::KnnImputer& imputer = record(self);
        if (!imputer.fitted()) {
            raise(PyExc_TypeError, "Imputer is not fitted");
        }
        const char* shape_error = nullptr;
        py::CellBuffer cells;
        std::optional<knn::UnknownMetric> unknown = [&]() -> std::optional<knn::UnknownMetric> {
            const utils::Matrix input = utils::pyany_to_vec(data);
            shape_error = cell_count_error(imputer.rows(), imputer.cols(), input.values.size());
            if (shape_error != nullptr) {
                // The result would be refused for its shape, after the pass's own errors: find
                // those without running the pass (and without its memory).
                return knn::check_impute(imputer, input.values, input.rows);
            }
            if (imputer.metric_kind() == knn::Metric::unknown) {
                return knn::unknown_metric(imputer.metric());  // before the result is allocated
            }
            cells = py::CellBuffer(input.values.size());
            return knn::impute_into(imputer, input.values, input.rows, cells.cells());
        }();
        if (unknown) {
            raise(PyExc_TypeError, unknown->message);
        }
        if (shape_error != nullptr) {
            raise(PyExc_ValueError, shape_error);
        }
        return utils::vec_to_pyarray(imputer.rows(), imputer.cols(), std::move(cells)).release();
    });
}

#ifdef PYPY_VERSION
// See utils/pypy_compat.hpp. Allow what CPython allows, the property `k`; refuse the rest
// (`imputer.metric = ...` would otherwise store an attribute that nothing reads).
int KnnImputer_setattro(PyObject* self, PyObject* name, PyObject* value) noexcept {
    return guard_status([&]() -> int {
        if (PyUnicode_Check(name) && PyUnicode_CompareWithASCIIString(name, "k") == 0) {
            return KnnImputer_set_k(self, value, nullptr);
        }
        return refuse_attribute_assignment(self, name, value, "KnnImputer");
    });
}

PyObject* KnnImputer_reduce_ex(PyObject*, PyObject*) noexcept { return refuse_pickling("KnnImputer"); }

PyObject* KnnImputer_init_subclass(PyObject*, PyObject*, PyObject*) noexcept {
    return refuse_subclassing("KnnImputer");
}
#endif

PyMethodDef knn_imputer_methods[] = {
    {"fit", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)(void)>(&KnnImputer_fit)),
     METH_FASTCALL | METH_KEYWORDS, "fit($self, data)\n--\n\n"},
    {"transform", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)(void)>(&KnnImputer_transform)),
     METH_FASTCALL | METH_KEYWORDS, "transform($self, data)\n--\n\n"},
#ifdef PYPY_VERSION
    {"__init_subclass__", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)(void)>(&KnnImputer_init_subclass)),
     METH_VARARGS | METH_KEYWORDS | METH_CLASS, nullptr},
    {"__reduce_ex__", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)(void)>(&KnnImputer_reduce_ex)), METH_O,
     nullptr},
#endif
    {nullptr, nullptr, 0, nullptr},
};

PyGetSetDef knn_imputer_getset[] = {
    {"k", &KnnImputer_get_k, &KnnImputer_set_k, nullptr, nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

// The text signature, and nothing else: the type has no docstring.
const char knn_imputer_doc[] = "KnnImputer(k=5, metric=\"nan_euclid\", weights=\"uniform\")\n--\n\n";

PyType_Slot knn_imputer_slots[] = {
    {Py_tp_new, reinterpret_cast<void*>(&KnnImputer_new)},
    {Py_tp_dealloc, reinterpret_cast<void*>(&KnnImputer_dealloc)},
    {Py_tp_doc, const_cast<char*>(knn_imputer_doc)},
    {Py_tp_methods, knn_imputer_methods},
    {Py_tp_getset, knn_imputer_getset},
#ifdef PYPY_VERSION
    {Py_tp_setattro, reinterpret_cast<void*>(&KnnImputer_setattro)},
#endif
    {0, nullptr},
};

// No Py_TPFLAGS_BASETYPE: the type cannot be subclassed. No __dict__, no weak references.
PyType_Spec knn_imputer_spec = {
    "mirel.KnnImputer", sizeof(KnnImputerObject), 0, Py_TPFLAGS_DEFAULT, knn_imputer_slots,
};

}  // namespace

PyTypeObject* knn_imputer_type() {
    static PyTypeObject* type = nullptr;
    if (type == nullptr) {
        type = create_type(&knn_imputer_spec);
    }
    return type;
}

}  // namespace mirel::py
