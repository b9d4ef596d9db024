// The Python module `vek`: the compressobj type over the encoder core.
#include <pybind11/pybind11.h>

#include <algorithm>
#include <cstring>
#include <mutex>

#include "output_buffer.h"
#include "vek_core.h"

namespace py = pybind11;

namespace vek {
namespace {

// The core takes lengths as signed 32-bit values; longer inputs go to it in
// pieces of this size, each with more = 1, so nothing is refused.
constexpr size_t max_piece = size_t(1) << 30;

// Holds the object's mutex without holding the interpreter lock while
// waiting for it: a thread blocked here must not stop the owner from
// taking the interpreter lock back to finish its call.
std::unique_lock<std::mutex> lock_call(std::mutex& call_mutex) {
    std::unique_lock<std::mutex> lock(call_mutex, std::try_to_lock);
    if (!lock.owns_lock()) {
        py::gil_scoped_release released;
        lock.lock();
    }
    return lock;
}

}  // namespace

class vek_compressobj {
public:
    vek_compressobj(int level, int format) { init_stream(&stream, level, format); }

    py::bytes compress(const py::bytes& obj) {
        auto lock = lock_call(call_mutex);
        if (finished())
            throw py::value_error("compress() called after flush(): the stream is finished");
        const auto* data = reinterpret_cast<const uint8_t*>(PyBytes_AS_STRING(obj.ptr()));
        const size_t n = size_t(PyBytes_GET_SIZE(obj.ptr()));
        output.reserve(encode_room(n));
        const DeflateStream before = stream;
        size_t count = 0;
        {
            py::gil_scoped_release released;
            uint8_t* out = output.data();
            size_t offset = 0;
            do {
                const size_t piece = std::min(n - offset, max_piece);
                count += size_t(
                    encode_stream(&stream, out + count, data + offset, int32_t(piece), 1, &match_table));
                offset += piece;
            } while (offset < n);
        }
        return result(count, before);
    }

    py::bytes flush() {
        auto lock = lock_call(call_mutex);
        // A finished stream stays finished: another trailer would corrupt it.
        if (finished()) return py::bytes();
        output.reserve(std::max(flush_growth_rule, max_finish_output(stream)));
        const DeflateStream before = stream;
        size_t count = 0;
        {
            py::gil_scoped_release released;
            count = size_t(finish_stream(&stream, output.data()));
        }
        return result(count, before);
    }

private:
    static constexpr size_t flush_growth_rule = 12;

    bool finished() const {
        return stream.state == StreamState::Done || stream.state == StreamState::End;
    }

    // The most that encoding n bytes can write, piece by piece: the header
    // only in the first piece. Never below the historic growth rule n + n/16.
    size_t encode_room(size_t n) const {
        const size_t first = std::min(n, max_piece);
        size_t room = max_encode_output(stream, first);
        DeflateStream later = stream;
        later.state = StreamState::BlockBoundary;
        for (size_t offset = first; offset < n; offset += max_piece)
            room += max_encode_output(later, std::min(n - offset, max_piece));
        return std::max(room, n + n / 16);
    }

    // The call's bytes as a new object. If that object cannot be made, the
    // record goes back to what it was, so the call has had no effect at all.
    py::bytes result(size_t count, const DeflateStream& before) {
        PyObject* bytes =
            PyBytes_FromStringAndSize(reinterpret_cast<const char*>(output.data()), Py_ssize_t(count));
        if (bytes == nullptr) {
            stream = before;
            py::raise_from(PyExc_RuntimeError, "Could not allocate bytes object!");
            throw py::error_already_set();
        }
        return py::reinterpret_steal<py::bytes>(bytes);
    }

    DeflateStream stream{};
    OutputBuffer output;
    // Kept across calls so that a small call need not empty 32 KiB of table
    // (the encoder makes old entries unusable instead).
    MatchTable match_table{};
    // One call at a time per object; the interpreter lock is released inside.
    std::mutex call_mutex;
};

}  // namespace vek

PYBIND11_MODULE(vek, m) {
    using vek::vek_compressobj;
    py::class_<vek_compressobj, std::shared_ptr<vek_compressobj>>(m, "compressobj")
        .def(py::init<int, int>(), py::arg("level") = 1, py::arg("format") = 2)
        .def("compress", &vek_compressobj::compress, py::arg("obj"))
        .def("flush", &vek_compressobj::flush);
    m.attr("VEK_FMT_GZIP") = int(vek::format_gzip);
    m.attr("VEK_FMT_ZLIB") = int(vek::format_zlib);
    m.attr("VEK_FMT_DEFLATE") = int(vek::format_deflate);
}
