"""The module and the KnnImputer class as Python sees them: registration, constructor,
argument binding, the k attribute and PanicException."""

import inspect
import weakref

import pytest

import mirel
from conftest import IS_PYPY, PanicException

KnnImputer = mirel.KnnImputer


class Index:
    def __init__(self, value):
        self.value = value

    def __index__(self):
        return self.value


def test_module_publishes_the_class_in_all():
    assert mirel.__all__ == ["KnnImputer"]
    assert isinstance(mirel.__all__, list)
    assert mirel.KnnImputer is KnnImputer
    assert isinstance(mirel.__doc__, str) and mirel.__doc__.strip()


@pytest.mark.parametrize(
    "existing, expected",
    [(None, ["KnnImputer"]), (["already"], ["already", "KnnImputer"]), ([], ["KnnImputer"])],
)
def test_execution_step_appends_to_an_existing_all(existing, expected):
    # A loader may run the execution step on a module that already has an __all__: the name is
    # appended to that very list, which is made only where there is none.
    import importlib.util

    spec = importlib.util.spec_from_file_location("mirel", mirel.__file__)
    module = importlib.util.module_from_spec(spec)
    if existing is not None:
        module.__all__ = existing
    spec.loader.exec_module(module)
    assert module.__all__ == expected
    if existing is not None:
        assert module.__all__ is existing
    assert module.KnnImputer is KnnImputer


@pytest.mark.parametrize("existing", [("already",), "KnnImputer", None])
def test_execution_step_refuses_an_all_that_is_no_list(existing):
    import importlib.util

    spec = importlib.util.spec_from_file_location("mirel", mirel.__file__)
    module = importlib.util.module_from_spec(spec)
    module.__all__ = existing
    with pytest.raises(TypeError) as info:
        spec.loader.exec_module(module)
    expected = (
        "'None' is not an instance of 'list'"
        if existing is None
        else ("'%s' object is not an instance of 'list'" % type(existing).__name__)
    )
    assert str(info.value) == expected
    assert module.__all__ is existing
    assert not hasattr(module, "KnnImputer")


def test_class_shape_and_signature():
    assert KnnImputer.__name__ == "KnnImputer"
    assert KnnImputer.__qualname__ == "KnnImputer"
    assert str(inspect.signature(KnnImputer)) == "(k=5, metric='nan_euclid', weights='uniform')"
    assert not KnnImputer.__doc__


@pytest.mark.skipif(IS_PYPY, reason="methods expose no text signature to inspect on PyPy")
def test_method_signatures_on_cpython():
    assert KnnImputer.fit.__text_signature__ == "($self, data)"
    assert KnnImputer.transform.__text_signature__ == "($self, data)"
    assert str(inspect.signature(KnnImputer.fit)) == "(self, /, data)"
    assert str(inspect.signature(KnnImputer.transform)) == "(self, /, data)"


def test_class_cannot_be_subclassed():
    with pytest.raises(TypeError):
        type("Sub", (KnnImputer,), {})


def test_instances_have_no_dict_and_no_weakrefs():
    imputer = KnnImputer()
    with pytest.raises(AttributeError):
        imputer.metric = "expected_distance"
    with pytest.raises(AttributeError):
        imputer.anything = 1
    if not IS_PYPY:  # every PyPy object can be weakly referenced, C types' instances included
        with pytest.raises(TypeError):
            weakref.ref(imputer)


@pytest.mark.parametrize(
    "args, kwargs, k",
    [
        ((), {}, 5),
        ((3, "expected_distance", "distance"), {}, 3),
        ((), {"weights": "distance", "k": 3}, 3),
        ((0,), {}, 0),
        ((4_294_967_295,), {}, 4_294_967_295),
        ((True,), {}, 1),
        ((False,), {}, 0),
        ((Index(9),), {}, 9),
        ((), {"metric": "no such metric"}, 5),
        ((), {"metric": ""}, 5),
    ],
)
def test_constructor_accepts(args, kwargs, k):
    imputer = KnnImputer(*args, **kwargs)
    assert imputer.k == k
    assert type(imputer.k) is int


BINDING_ERRORS = [
    (
        (1, "nan_euclid", "uniform", 4),
        {},
        "KnnImputer.__new__() takes from 0 to 3 positional arguments but 4 were given",
    ),
    ((1, "a", "b", 4, 5), {}, "KnnImputer.__new__() takes from 0 to 3 positional arguments but 5 were given"),
    ((), {"n": 3}, "KnnImputer.__new__() got an unexpected keyword argument 'n'"),
    ((), {"K": 3}, "KnnImputer.__new__() got an unexpected keyword argument 'K'"),
    ((3,), {"k": 3}, "KnnImputer.__new__() got multiple values for argument 'k'"),
    ((3, "nan_euclid"), {"metric": "x"}, "KnnImputer.__new__() got multiple values for argument 'metric'"),
    # the positional count is checked before any keyword
    ((1, 2, 3, 4), {"n": 1}, "KnnImputer.__new__() takes from 0 to 3 positional arguments but 4 were given"),
    # keywords are checked in the order given
    ((3,), {"zz": 1, "k": 2}, "KnnImputer.__new__() got an unexpected keyword argument 'zz'"),
    ((3,), {"k": 2, "zz": 1}, "KnnImputer.__new__() got multiple values for argument 'k'"),
]


@pytest.mark.parametrize("args, kwargs, message", BINDING_ERRORS)
def test_constructor_binding_errors(args, kwargs, message):
    with pytest.raises(TypeError) as info:
        KnnImputer(*args, **kwargs)
    assert str(info.value) == message


@pytest.mark.parametrize(
    "kwargs, exc_type, message",
    [
        ({"k": None}, TypeError, "argument 'k': 'NoneType' object cannot be interpreted as an integer"),
        ({"k": 2.0}, TypeError, "argument 'k': 'float' object cannot be interpreted as an integer"),
        ({"k": "3"}, TypeError, "argument 'k': 'str' object cannot be interpreted as an integer"),
        ({"k": 2**32}, OverflowError, "out of range integral type conversion attempted"),
        ({"k": 2**64 - 1}, OverflowError, "out of range integral type conversion attempted"),
        ({"weights": 5}, TypeError, "argument 'weights': 'int' object is not an instance of 'str'"),
        ({"metric": None}, TypeError, "argument 'metric': 'None' is not an instance of 'str'"),
        ({"metric": b"nan_euclid"}, TypeError, "argument 'metric': 'bytes' object is not an instance of 'str'"),
        ({"weights": None}, TypeError, "argument 'weights': 'None' is not an instance of 'str'"),
        # the first failing parameter in parameter order is reported
        ({"k": "x", "metric": 1}, TypeError, "argument 'k': 'str' object cannot be interpreted as an integer"),
        ({"weights": 1, "metric": 2}, TypeError, "argument 'metric': 'int' object is not an instance of 'str'"),
    ],
)
def test_constructor_conversion_errors(kwargs, exc_type, message):
    with pytest.raises(exc_type) as info:
        KnnImputer(**kwargs)
    assert type(info.value) is exc_type
    assert str(info.value) == message


@pytest.mark.parametrize("k", [-1, -(2**70), 2**64, 2**100, Index(-5)])
def test_k_outside_64_bits_or_negative_is_the_interpreters_overflow_error(k):
    with pytest.raises(OverflowError) as info:
        KnnImputer(k=k)
    assert not str(info.value).startswith("argument")


def test_str_subclass_names_are_accepted():
    class Name(str):
        pass

    imputer = KnnImputer(weights=Name("distance"), metric=Name("expected_distance"))
    assert imputer.k == 5


@pytest.mark.parametrize("name", ["metric", "weights"])
def test_unencodable_names_raise_the_encoding_error_unwrapped(name):
    with pytest.raises(UnicodeEncodeError):
        KnnImputer(**{name: "\ud800"})


@pytest.mark.parametrize("weights", ["Uniform", "UNIFORM", " uniform", "uniform ", "", "distances", "Distance"])
def test_unknown_weights_raise_panic_exception(weights, capfd):
    with pytest.raises(PanicException) as info:
        KnnImputer(weights=weights)
    assert str(info.value) == "assertion failed: ALLOWED_WEIGHTS.contains(&weights)"
    assert "assertion failed: ALLOWED_WEIGHTS.contains(&weights)" in capfd.readouterr().err


def test_panic_exception_is_not_an_exception():
    assert PanicException.__mro__[1:] == (BaseException, object)
    assert PanicException.__module__ == "mirel"
    assert PanicException.__doc__
    caught = None
    try:
        try:
            KnnImputer(weights="Uniform")
        except Exception:  # noqa: BLE001 - this handler must not see it
            caught = "Exception"
    except BaseException as exc:  # noqa: BLE001
        caught = type(exc)
    assert caught is PanicException


def test_panic_exception_type_is_created_once():
    seen = set()
    for _ in range(3):
        try:
            KnnImputer(weights="x")
        except BaseException as exc:  # noqa: BLE001
            seen.add(type(exc))
    assert seen == {PanicException}


PANIC_REGISTRY_CHECK = """
import sys, types, mirel
def raised():
    try:
        mirel.KnnImputer(weights="x")
    except BaseException as exc:
        return exc
case = sys.argv[1]
if case == "fresh":
    assert "mirel._panic" not in sys.modules
    kind = type(raised())
    assert sys.modules["mirel._panic"].PanicException is kind
    assert type(raised()) is kind
    assert kind.__mro__[1:] == (BaseException, object), kind.__mro__
    assert (kind.__name__, kind.__qualname__, kind.__module__) == ("PanicException", "PanicException", "mirel")
    assert kind.__doc__ and "BaseException" in kind.__doc__
    assert not hasattr(mirel, "_panic") and not hasattr(mirel, "PanicException")
else:
    sys.modules["mirel._panic"] = types.SimpleNamespace(PanicException=ValueError if case == "exception" else 42)
    exc = raised()
    if case == "exception":
        assert type(exc) is ValueError, repr(exc)
    else:
        assert type(exc) is SystemError and str(exc) == "mirel._panic.PanicException is not an exception type", exc
print("ok")
"""


@pytest.mark.parametrize("case", ["fresh", "exception", "not an exception"])
def test_panic_exception_is_one_type_per_process(case):
    # Every extension module of the package takes the type from one registry in sys.modules,
    # made by whichever needs it first; what stands there is checked before it is raised.
    import subprocess
    import sys

    done = subprocess.run(
        [sys.executable, "-c", PANIC_REGISTRY_CHECK, case], capture_output=True, text=True, timeout=300
    )
    assert done.returncode == 0 and done.stdout.strip() == "ok", done.stdout + done.stderr


class TestKAttribute:
    def test_assign_and_read_back(self):
        imputer = KnnImputer()
        imputer.k = 7
        assert imputer.k == 7
        imputer.k = Index(0)
        assert imputer.k == 0
        imputer.k = 4_294_967_295
        assert imputer.k == 4_294_967_295

    def test_delete_is_refused_and_keeps_the_value(self):
        imputer = KnnImputer()
        with pytest.raises(AttributeError) as info:
            del imputer.k
        assert str(info.value) == "property has no deleter"
        assert imputer.k == 5

    @pytest.mark.parametrize(
        "value, exc_type, message",
        [
            (None, TypeError, "argument 'k': 'NoneType' object cannot be interpreted as an integer"),
            (1.5, TypeError, "argument 'k': 'float' object cannot be interpreted as an integer"),
            (2**32, OverflowError, "out of range integral type conversion attempted"),
        ],
    )
    def test_bad_values_keep_the_old_k(self, value, exc_type, message):
        imputer = KnnImputer(k=3)
        with pytest.raises(exc_type) as info:
            imputer.k = value
        assert str(info.value) == message
        assert imputer.k == 3

    def test_negative_value_keeps_the_old_k(self):
        imputer = KnnImputer(k=3)
        with pytest.raises(OverflowError):
            imputer.k = -1
        assert imputer.k == 3

    def test_property_has_no_docstring_and_is_the_only_attribute(self):
        public = {name for name in dir(KnnImputer) if not name.startswith("_")}
        assert public == {"fit", "transform", "k"}
        assert KnnImputer.k.__doc__ is None


def test_methods_are_fast_call_methods_of_the_class():
    imputer = KnnImputer()
    bound = imputer.fit
    assert bound.__self__ is imputer
    assert bound.__name__ == "fit"
