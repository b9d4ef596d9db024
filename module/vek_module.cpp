// The Python module `vek`: the compressobj type over the encoder core.
#include <pybind11/pybind11.h>

#include <algorithm>
#include <cstring>
#include <mutex>

#if defined(__linux__)
#include <sys/mman.h>
#endif

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

// A large result is written once, page by page: asking for huge pages first
// saves most of the page faults, which otherwise cost more than the writing.
// Only a hint; where it is refused or unknown nothing changes.
void advise_huge_pages(char* data, size_t size) {
#if defined(__linux__) && defined(MADV_HUGEPAGE)
    constexpr uintptr_t huge_page = uintptr_t(2) << 20;
    const uintptr_t first = (reinterpret_cast<uintptr_t>(data) + huge_page - 1) & ~(huge_page - 1);
    const uintptr_t end = (reinterpret_cast<uintptr_t>(data) + size) & ~(huge_page - 1);
    if (end > first) madvise(reinterpret_cast<void*>(first), end - first, MADV_HUGEPAGE);
#else
    (void)data;
    (void)size;
#endif
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
        const size_t room = encode_room(n);
        if (output.reserved() >= room) {
            const DeflateStream before = stream;
            return result(encode_all(output.data(), data, n), before);
        }
        // The buffer must grow, so its new pages would be written once and
        // copied once: write this call straight into the result instead. The
        // grown buffer stays untouched for the calls that can reuse it.
        output.reserve(room);
        PyObject* bytes = PyBytes_FromStringAndSize(nullptr, Py_ssize_t(room));
        if (bytes == nullptr) throw py::error_already_set();  // MemoryError, nothing encoded
        advise_huge_pages(PyBytes_AS_STRING(bytes), room);
        const DeflateStream before = stream;
        const size_t count = encode_all(reinterpret_cast<uint8_t*>(PyBytes_AS_STRING(bytes)), data, n);
        if (_PyBytes_Resize(&bytes, Py_ssize_t(count)) != 0) return undo(before);
        return py::reinterpret_steal<py::bytes>(bytes);
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

    // All n bytes, in pieces the core's 32-bit lengths can take, at `out`
    // (room for encode_room(n) bytes), with the interpreter lock released.
    size_t encode_all(uint8_t* out, const uint8_t* data, size_t n) {
        py::gil_scoped_release released;
        size_t count = 0;
        size_t offset = 0;
        do {
            const size_t piece = std::min(n - offset, max_piece);
            count += size_t(
                encode_stream(&stream, out + count, data + offset, int32_t(piece), 1, &match_table));
            offset += piece;
        } while (offset < n);
        return count;
    }

    // The call's bytes as a new object. If that object cannot be made, the
    // record goes back to what it was, so the call has had no effect at all.
    py::bytes result(size_t count, const DeflateStream& before) {
        PyObject* bytes =
            PyBytes_FromStringAndSize(reinterpret_cast<const char*>(output.data()), Py_ssize_t(count));
        if (bytes == nullptr) return undo(before);
        return py::reinterpret_steal<py::bytes>(bytes);
    }

    [[noreturn]] py::bytes undo(const DeflateStream& before) {
        stream = before;
        py::raise_from(PyExc_RuntimeError, "Could not allocate bytes object!");
        throw py::error_already_set();
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
