"""Behaviour that the interpreter's C API implementation could change: PyPy's cpyext differs
from CPython in heap-type bookkeeping, subclass checks, type names and when objects die.
The same expectations hold on every interpreter; only the reference-count checks are
CPython's alone."""

import sys
import weakref

import numpy as np
import pytest

import mirel
from conftest import NAN, PanicException, collect, cpython_only, table

KnnImputer = mirel.KnnImputer


def small_table():
    return table([[1.0, NAN], [2.0, 3.0], [4.0, 5.0]])


class Outer:
    class Inner:
        pass


class TestClass:
    @pytest.mark.parametrize(
        "make_subclass",
        [
            lambda: type("Sub", (KnnImputer,), {}),
            lambda: type("Sub", (KnnImputer, Outer), {}),
        ],
        ids=["type-call", "with-mixin"],
    )
    def test_subclassing_is_refused(self, make_subclass):
        with pytest.raises(TypeError) as info:
            make_subclass()
        assert str(info.value) == "type 'KnnImputer' is not an acceptable base type"

    def test_subclassing_by_class_statement_is_refused(self):
        with pytest.raises(TypeError, match=r"^type 'KnnImputer' is not an acceptable base type$"):

            class Sub(KnnImputer):
                pass

    def test_identity_of_the_type(self):
        assert KnnImputer.__name__ == "KnnImputer"
        assert KnnImputer.__qualname__ == "KnnImputer"
        assert KnnImputer.__module__ == "mirel"
        assert "KnnImputer" in mirel.__all__


class TestInstanceAttributes:
    # PyPy gives instances of C types an attribute dictionary of their own; the module refuses
    # to use it, so a mistyped configuration never silently succeeds.
    @pytest.mark.parametrize(
        "name, message",
        [
            ("metric", "'KnnImputer' object has no attribute 'metric'"),
            ("weights", "'KnnImputer' object has no attribute 'weights'"),
            ("anything", "'KnnImputer' object has no attribute 'anything'"),
            ("fit", "'KnnImputer' object attribute 'fit' is read-only"),
            ("transform", "'KnnImputer' object attribute 'transform' is read-only"),
        ],
    )
    @pytest.mark.parametrize("operation", ["set", "delete"])
    def test_only_k_can_be_assigned(self, name, message, operation):
        imputer = KnnImputer(k=2, metric="nope").fit(small_table())
        with pytest.raises(AttributeError) as info:
            if operation == "set":
                setattr(imputer, name, "expected_distance")
            else:
                delattr(imputer, name)
        assert str(info.value) == message
        # Nothing was stored: the unknown metric still decides the outcome.
        with pytest.raises(TypeError, match="^nope is a unknown metric$"):
            imputer.transform(small_table())

    def test_k_assignment_and_deletion(self):
        imputer = KnnImputer(k=2).fit(small_table())
        imputer.k = 1
        assert imputer.k == 1
        with pytest.raises(AttributeError, match="^property has no deleter$"):
            del imputer.k
        assert imputer.k == 1


def result_owner():
    x = small_table()
    out = KnnImputer(k=2).fit(x).transform(x)
    return out, out.base


class TestCopiesAndClassChanges:
    # PyPy would copy either object into a fresh, empty one through __new__, and would let
    # __class__ move an object between the module's two layouts (then free it as the wrong
    # type); the module refuses both, as CPython does.
    @pytest.mark.parametrize("attempt", ["copy", "deepcopy", "pickle"])
    @pytest.mark.parametrize("which", ["KnnImputer", "PySliceContainer"])
    def test_no_copies(self, which, attempt):
        import copy
        import pickle

        out, owner = result_owner()
        imputer = KnnImputer(k=2).fit(small_table())
        target = imputer if which == "KnnImputer" else owner
        call = {"copy": copy.copy, "deepcopy": copy.deepcopy, "pickle": pickle.dumps}[attempt]
        with pytest.raises(TypeError) as info:
            call(target)
        assert str(info.value) == f"cannot pickle '{which}' object"
        assert out[0, 1] == 4.0
        assert imputer.transform(small_table())[0, 1] == 4.0

    def test_class_cannot_move_between_the_module_types(self):
        out, owner = result_owner()
        imputer = KnnImputer(k=2)
        with pytest.raises(TypeError) as info:
            owner.__class__ = KnnImputer
        assert str(info.value) == "__class__ assignment: 'KnnImputer' object layout differs from 'PySliceContainer'"
        with pytest.raises(TypeError) as info:
            imputer.__class__ = type(owner)
        assert str(info.value) == "__class__ assignment: 'PySliceContainer' object layout differs from 'KnnImputer'"
        for obj in (owner, imputer):
            with pytest.raises(TypeError, match=r"^__class__ assignment: 'Outer' "):
                obj.__class__ = Outer
            obj.__class__ = type(obj)  # its own class: allowed, changes nothing
        assert type(owner).__name__ == "PySliceContainer" and type(imputer) is KnnImputer
        assert out[0, 1] == 4.0
        assert imputer.k == 2

    def test_result_owner_takes_no_attributes(self):
        _, owner = result_owner()
        with pytest.raises(AttributeError) as info:
            owner.anything = 1
        assert str(info.value) == "'PySliceContainer' object has no attribute 'anything'"

    @pytest.mark.parametrize("other", [int, object, Outer], ids=["int", "object", "Outer"])
    def test_new_builds_only_imputers(self, other):
        name = other.__name__
        with pytest.raises(TypeError) as info:
            KnnImputer.__new__(other)
        assert str(info.value) == f"KnnImputer.__new__({name}): {name} is not a subtype of KnnImputer"


class TestTypeNamesInRefusals:
    # The str check names the value's type by its qualified name, which cpyext serves from
    # the type's __qualname__ rather than from PyType_GetQualName.
    @pytest.mark.parametrize(
        "value, name",
        [
            (1, "int"),
            (2.5, "float"),
            (b"nan_euclid", "bytes"),
            (Outer.Inner(), "Outer.Inner"),
            (np.float64(1.0), "float64"),
            (["uniform"], "list"),
        ],
        ids=["int", "float", "bytes", "nested-class", "numpy-scalar", "list"],
    )
    @pytest.mark.parametrize("parameter", ["metric", "weights"])
    def test_non_str_argument_is_named_by_qualified_name(self, parameter, value, name):
        with pytest.raises(TypeError) as info:
            KnnImputer(**{parameter: value})
        assert str(info.value) == f"argument '{parameter}': '{name}' object is not an instance of 'str'"

    @pytest.mark.parametrize("parameter", ["metric", "weights"])
    def test_none_argument(self, parameter):
        with pytest.raises(TypeError) as info:
            KnnImputer(**{parameter: None})
        assert str(info.value) == f"argument '{parameter}': 'None' is not an instance of 'str'"


class TestObjectLifetimes:
    def test_type_survives_many_instance_deaths(self):
        # Each instance's deallocation releases its reference to the heap type; a miscounted
        # release would free the type after enough instances.
        x = small_table()
        expected = KnnImputer(k=2).fit(x).transform(x)
        for _ in range(3):
            for _ in range(2000):
                KnnImputer(k=2).fit(x)
                with pytest.raises(PanicException):
                    KnnImputer(weights="")
            collect()
        assert KnnImputer.__name__ == "KnnImputer"
        out = KnnImputer(k=2).fit(x).transform(x)
        assert out.tobytes() == expected.tobytes()

    def test_result_outlives_imputer_and_input(self):
        x = small_table()
        imputer = KnnImputer(k=2).fit(x)
        out = imputer.transform(x)
        expected = out.copy()
        imputer_ref = weakref.ref(out)  # the array itself supports weak references
        del imputer, x
        collect()
        assert imputer_ref() is out
        assert out.tobytes() == expected.tobytes()
        # The buffer is still writable memory owned by the result.
        out[0, 0] = 7.0
        assert out[0, 0] == 7.0

    def test_inputs_are_not_kept_alive(self):
        class Table(np.ndarray):
            pass

        fit_input = small_table().view(Table)
        transform_input = small_table().view(Table)
        refs = [weakref.ref(fit_input), weakref.ref(transform_input)]
        imputer = KnnImputer(k=2).fit(fit_input)
        out = imputer.transform(transform_input)
        del fit_input, transform_input
        collect()
        assert [r() for r in refs] == [None, None]
        assert out[0, 1] == 4.0  # (3 + 5) / 2 from both other rows
        assert imputer.k == 2

    def test_result_dies_with_its_last_reference(self):
        x = small_table()
        out = KnnImputer(k=2).fit(x).transform(x)
        ref = weakref.ref(out)
        del out
        collect()
        assert ref() is None


@cpython_only
class TestReferenceCounts:
    def test_type_reference_count_is_balanced(self):
        x = small_table()
        KnnImputer(k=2).fit(x).transform(x)  # first-use caches
        before = sys.getrefcount(KnnImputer)
        for _ in range(500):
            KnnImputer(k=2).fit(x).transform(x)
            with pytest.raises(PanicException):
                KnnImputer(weights="")
            with pytest.raises(TypeError):
                KnnImputer(metric=1)
        assert sys.getrefcount(KnnImputer) == before

    def test_inputs_reference_counts_are_restored(self):
        x = small_table()
        y = small_table()
        imputer = KnnImputer(k=2)
        before = (sys.getrefcount(x), sys.getrefcount(y), sys.getrefcount(imputer))
        for _ in range(100):
            imputer.fit(x)
            imputer.transform(y)
        assert (sys.getrefcount(x), sys.getrefcount(y), sys.getrefcount(imputer)) == before
