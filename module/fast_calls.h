// Direct entry points for the common calls of a pybind11 class.
//
// pybind11 2.x sends every call through one generic dispatcher: the
// arguments go into heap-allocated vectors, the class is found by hashing its
// type name, and a thread-specific frame is pushed for temporaries. That
// costs about 2,000 instructions per method call and 4,400 per construction,
// more than compressing a short message. The entry points installed here
// take the plain calls themselves (exact types, positional arguments) and
// hand every other call to the function pybind11 made, so that conversions,
// error messages and signatures stay exactly pybind11's.
#pragma once

#include <pybind11/pybind11.h>

#include <new>
#include <string>
#include <vector>

namespace vek::fast_calls {

namespace py = pybind11;

// One attribute of the class: pybind11's function and the method that
// replaces it. Lives as long as the module, which is never unloaded, so the
// reference is never given back (at exit there may be no interpreter left
// to give it to).
struct Entry {
    PyObject* original = nullptr;
    std::string doc;
    PyMethodDef def{};
};

// The exceptions the bound member functions raise, as pybind11 translates them.
template <class Call>
PyObject* translate_exceptions(Call&& call) {
    try {
        return call();
    } catch (py::error_already_set& e) {
        e.restore();
    } catch (const py::builtin_exception& e) {
        e.set_error();
    } catch (const std::bad_alloc&) {
        PyErr_NoMemory();
    }
    return nullptr;
}

// Calls pybind11's own function with self in front of the arguments.
inline PyObject* call_original(const Entry& entry, PyObject* self, PyObject* const* args,
                               Py_ssize_t nargs, PyObject* kwnames) {
    const Py_ssize_t nkw = kwnames == nullptr ? 0 : PyTuple_GET_SIZE(kwnames);
    std::vector<PyObject*> all(size_t(1 + nargs + nkw));
    all[0] = self;
    for (Py_ssize_t i = 0; i < nargs + nkw; ++i) all[size_t(1 + i)] = args[i];
    return PyObject_Vectorcall(entry.original, all.data(), size_t(1 + nargs), kwnames);
}

// The native object of `self`, an instance of the class or of a subclass
// (the method descriptor has checked that). An instance whose __init__
// never ran has none: that is a TypeError, where pybind11 would call the
// member function on a null object.
template <class Native>
Native* native_of(PyObject* self, const py::detail::type_info* info) {
    auto* inst = reinterpret_cast<py::detail::instance*>(self);
    const py::detail::value_and_holder v_h = inst->get_value_and_holder(info, false);
    if (!v_h || !v_h.holder_constructed()) {
        PyErr_Format(PyExc_TypeError, "%s object is not initialised: its __init__ was not called",
                     Py_TYPE(self)->tp_name);
        return nullptr;
    }
    return v_h.template value_ptr<Native>();
}

// Replaces the class attribute `name` with a METH_FASTCALL method whose
// text is pybind11's docstring of the attribute it replaces.
inline void install(py::handle cls, const char* name, Entry& entry,
                    PyObject* (*method)(PyObject*, PyObject* const*, Py_ssize_t, PyObject*)) {
    entry.original = py::object(cls.attr("__dict__")[name]).release().ptr();
    entry.doc = py::str(cls.attr(name).attr("__doc__"));
    entry.def = {name, reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(method)),
                 METH_FASTCALL | METH_KEYWORDS, entry.doc.c_str()};
    py::object descriptor =
        py::reinterpret_steal<py::object>(PyDescr_NewMethod(reinterpret_cast<PyTypeObject*>(cls.ptr()), &entry.def));
    if (!descriptor) throw py::error_already_set();
    py::setattr(cls, name, descriptor);
}

}  // namespace vek::fast_calls
