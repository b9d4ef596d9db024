// The Python module `vek`: the compressobj type over the encoder core.
#include <pybind11/pybind11.h>

#include <algorithm>
#include <climits>
#include <cstring>
#include <memory>
#include <mutex>
#include <new>

#include "fast_calls.h"
#include "fork_guard.h"
#include "interpreter_lock.h"
#include "output_buffer.h"
#include "pieces.h"
#include "result_bytes.h"
#include "thread_scratch.h"
#include "vek_core.h"

namespace py = pybind11;

namespace vek {

class vek_compressobj {
public:
    vek_compressobj(int level, int format) { init_stream(&stream, level, format); }

    py::bytes compress(const py::bytes& obj) {
        auto lock = lock_here();
        if (finished())
            throw py::value_error("compress() called after flush(): the stream is finished");
        const auto* data = reinterpret_cast<const uint8_t*>(PyBytes_AS_STRING(obj.ptr()));
        const size_t n = size_t(PyBytes_GET_SIZE(obj.ptr()));
        const size_t room = encode_room(n);
        ThreadScratch* scratch = thread_scratch();
        if (scratch == nullptr) throw std::bad_alloc();
        if (room <= ThreadScratch::output_size) {
            const DeflateStream before = stream;
            return result(scratch->output, encode_all(scratch->output, data, n, scratch->table), before);
        }
        if (output.reserved() >= room) {
            const DeflateStream before = stream;
            return result(output.data(), encode_all(output.data(), data, n, scratch->table), before);
        }
        // The buffer must grow, so its new pages would be written once and
        // copied once: write this call straight into the result instead. The
        // grown buffer stays untouched for the calls that can reuse it.
        output.reserve(room);
        PyObject* bytes = PyBytes_FromStringAndSize(nullptr, Py_ssize_t(room));
        if (bytes == nullptr) throw py::error_already_set();  // MemoryError, nothing encoded
        advise_huge_pages(PyBytes_AS_STRING(bytes), room);
        const DeflateStream before = stream;
        const size_t count =
            encode_all(reinterpret_cast<uint8_t*>(PyBytes_AS_STRING(bytes)), data, n, scratch->table);
        if (_PyBytes_Resize(&bytes, Py_ssize_t(count)) != 0) return undo(before);
        return py::reinterpret_steal<py::bytes>(bytes);
    }

    py::bytes flush() {
        auto lock = lock_here();
        // A finished stream stays finished: another trailer would corrupt it.
        if (finished()) return py::bytes();
        uint8_t out[finish_output_limit];
        const DeflateStream before = stream;
        const size_t count = size_t(finish_stream(&stream, out));
        return result(out, count, before);
    }

private:
    // The object's mutex. In a child of fork() it may be held for good by a
    // thread of the parent that was inside a call, whose stream is then half
    // written: refused. Free at the fork, the object is the child's own.
    std::unique_lock<std::mutex> lock_here() {
        if (generation_ == fork_generation()) return lock_call(call_mutex);
        std::unique_lock<std::mutex> lock(call_mutex, std::try_to_lock);
        if (!lock.owns_lock()) {
            PyErr_SetString(PyExc_RuntimeError,
                            "another thread was inside this compressobj when the process forked; "
                            "the child cannot use it (make a new one there)");
            throw py::error_already_set();
        }
        generation_ = fork_generation();
        return lock;
    }

    bool finished() const {
        return stream.state == StreamState::Done || stream.state == StreamState::End;
    }

    // The most that encoding n bytes can write, never below the historic
    // growth rule n + n/16.
    size_t encode_room(size_t n) const { return std::max(pieces_room(stream, n), n + n / 16); }

    // All n bytes, in pieces the core's 32-bit lengths can take, at `out`
    // (room for encode_room(n) bytes), with the interpreter lock released
    // unless the call is small.
    size_t encode_all(uint8_t* out, const uint8_t* data, size_t n, MatchTable& table) {
        MaybeReleaseLock released(n);
        return encode_pieces(stream, out, data, n, table);
    }

    // The call's bytes as a new object. If that object cannot be made, the
    // record goes back to what it was, so the call has had no effect at all.
    py::bytes result(const uint8_t* data, size_t count, const DeflateStream& before) {
        PyObject* bytes = PyBytes_FromStringAndSize(reinterpret_cast<const char*>(data), Py_ssize_t(count));
        if (bytes == nullptr) return undo(before);
        return py::reinterpret_steal<py::bytes>(bytes);
    }

    [[noreturn]] py::bytes undo(const DeflateStream& before) {
        stream = before;
        py::raise_from(PyExc_RuntimeError, "Could not allocate bytes object!");
        throw py::error_already_set();
    }

    DeflateStream stream{};
    uint64_t generation_ = fork_generation();
    // For calls too large for the thread's scratch area that can reuse it.
    OutputBuffer output;
    // One call at a time per object; the interpreter lock is released inside.
    std::mutex call_mutex;
};

namespace {

using fast_calls::call_original;
using fast_calls::translate_exceptions;

fast_calls::Entry init_entry, compress_entry, flush_entry;
PyTypeObject* compressobj_type = nullptr;
const py::detail::type_info* compressobj_info = nullptr;

// An int that pybind11 takes without conversion, within int's range.
bool plain_int(PyObject* arg, int& value) {
    if (!PyLong_CheckExact(arg)) return false;
    int overflow = 0;
    const long v = PyLong_AsLongAndOverflow(arg, &overflow);
    if (overflow != 0 || v < INT_MIN || v > INT_MAX) return false;
    value = int(v);
    return true;
}

PyObject* fast_init(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    int level = 1, format = 2;
    if (kwnames != nullptr || nargs > 2 || Py_TYPE(self) != compressobj_type ||
        (nargs > 0 && !plain_int(args[0], level)) || (nargs > 1 && !plain_int(args[1], format)))
        return call_original(init_entry, self, args, nargs, kwnames);
    auto* inst = reinterpret_cast<py::detail::instance*>(self);
    py::detail::value_and_holder v_h = inst->get_value_and_holder(compressobj_info, true);
    // pybind11 ignores a second __init__; its own function says so.
    if (v_h.instance_registered()) return call_original(init_entry, self, args, nargs, kwnames);
    return translate_exceptions([&]() -> PyObject* {
        // The object and its holder's count in one allocation.
        auto holder = std::make_shared<vek_compressobj>(level, format);
        v_h.value_ptr() = holder.get();
        compressobj_info->init_instance(inst, &holder);
        Py_RETURN_NONE;
    });
}

PyObject* fast_compress(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    auto* native = fast_calls::native_of<vek_compressobj>(self, compressobj_info);
    if (native == nullptr) return nullptr;
    if (kwnames != nullptr || nargs != 1 || !PyBytes_Check(args[0]))
        return call_original(compress_entry, self, args, nargs, kwnames);
    return translate_exceptions(
        [&] { return native->compress(py::reinterpret_borrow<py::bytes>(args[0])).release().ptr(); });
}

PyObject* fast_flush(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    auto* native = fast_calls::native_of<vek_compressobj>(self, compressobj_info);
    if (native == nullptr) return nullptr;
    if (kwnames != nullptr || nargs != 0) return call_original(flush_entry, self, args, nargs, kwnames);
    return translate_exceptions([&] { return native->flush().release().ptr(); });
}

}  // namespace
}  // namespace vek

PYBIND11_MODULE(vek, m) {
    vek::register_close_at_exit();
    using vek::vek_compressobj;
    py::class_<vek_compressobj, std::shared_ptr<vek_compressobj>> cls(m, "compressobj");
    cls.def(py::init<int, int>(), py::arg("level") = 1, py::arg("format") = 2)
        .def("compress", &vek_compressobj::compress, py::arg("obj"))
        .def("flush", &vek_compressobj::flush);
    vek::compressobj_type = reinterpret_cast<PyTypeObject*>(cls.ptr());
    vek::compressobj_info = py::detail::get_type_info(typeid(vek_compressobj));
    vek::fast_calls::install(cls, "__init__", vek::init_entry, vek::fast_init);
    vek::fast_calls::install(cls, "compress", vek::compress_entry, vek::fast_compress);
    vek::fast_calls::install(cls, "flush", vek::flush_entry, vek::fast_flush);
    m.attr("VEK_FMT_GZIP") = int(vek::format_gzip);
    m.attr("VEK_FMT_ZLIB") = int(vek::format_zlib);
    m.attr("VEK_FMT_DEFLATE") = int(vek::format_deflate);
}
