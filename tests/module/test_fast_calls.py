"""Plain calls take a direct path and every other call goes to pybind11's own
functions: both must behave alike, and neither may touch an object whose
__init__ never ran."""

import pytest

import vek
from conftest import inflate

DATA = b"plain and converted calls " * 40


def stream(c, data=DATA):
    return c.compress(data) + c.flush()


@pytest.mark.parametrize("args", [(2**31,), (-(2**31) - 1,), (1, 2**40), (1.5,), ("1",), (None,), (1, 2, 3)])
def test_positional_arguments_pybind11_refuses_are_refused(args):
    with pytest.raises(TypeError, match="incompatible constructor arguments"):
        vek.compressobj(*args)


def test_plain_and_converted_arguments_give_the_same_stream():
    class Index:
        def __init__(self, value):
            self.value = value

        def __index__(self):
            return self.value

    for level, fmt in [(0, 0), (1, 1), (1, 2), (3, 7)]:
        expected = stream(vek.compressobj(level, fmt))
        assert stream(vek.compressobj(Index(level), Index(fmt))) == expected
        assert stream(vek.compressobj(level=level, format=fmt)) == expected
        c = vek.compressobj(level, fmt)
        assert c.compress(obj=DATA) + c.flush() == expected
    assert stream(vek.compressobj(True, False)) == stream(vek.compressobj(1, 0))


def test_wrong_argument_counts_raise_type_error():
    c = vek.compressobj()
    with pytest.raises(TypeError):
        c.compress()
    with pytest.raises(TypeError):
        c.compress(b"a", b"b")
    with pytest.raises(TypeError):
        c.flush(b"")
    with pytest.raises(TypeError):
        c.compress(data=b"a")
    assert inflate(stream(c, b"still whole"), 2) == b"still whole"


def test_methods_refuse_a_foreign_self():
    with pytest.raises(TypeError):
        vek.compressobj.compress(object(), b"")
    with pytest.raises(TypeError):
        vek.compressobj.flush(1)


def test_subclasses_work_with_or_without_their_own_init():
    class Plain(vek.compressobj):
        pass

    class Stored(vek.compressobj):
        def __init__(self):
            super().__init__(0, 1)

    assert stream(Plain(1, 0)) == stream(vek.compressobj(1, 0))
    assert stream(Stored()) == stream(vek.compressobj(0, 1))


@pytest.mark.parametrize("cls_name", ["base", "subclass"])
def test_object_without_init_raises_instead_of_crashing(cls_name):
    cls = vek.compressobj if cls_name == "base" else type("Sub", (vek.compressobj,), {})
    o = cls.__new__(cls)
    for call in (lambda: o.compress(b"data"), o.flush, lambda: o.compress(obj=b"x")):
        with pytest.raises(TypeError, match="not initialised"):
            call()
    o.__init__(1, 2)
    assert inflate(stream(o, b"late init"), 2) == b"late init"


def test_a_second_init_is_ignored_on_the_direct_path_too():
    c = vek.compressobj(0, 2)
    first = c.compress(b"abc")
    c.__init__(1, 0)  # positional plain ints: the direct path
    assert inflate(first + c.compress(b"def") + c.flush(), 2) == b"abcdef"
