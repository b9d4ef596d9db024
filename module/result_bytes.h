// A bytes object written in place: made at the most a call can write, filled
// without the interpreter lock, then cut to what was written. Shared by both
// extensions.
#pragma once

#include <pybind11/pybind11.h>

#include <cstddef>
#include <cstdint>

#if defined(__linux__)
#include <sys/mman.h>
#endif

namespace vek {

// A large result is written once, page by page: asking for huge pages first
// saves most of the page faults, which otherwise cost more than the writing.
// Only a hint; where it is refused or unknown nothing changes.
inline void advise_huge_pages(char* data, size_t size) {
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

class ResultBytes {
public:
    // Room for `capacity` bytes; MemoryError (nothing else changed) when it
    // cannot be had. Needs the interpreter lock.
    explicit ResultBytes(size_t capacity) {
        bytes_ = PyBytes_FromStringAndSize(nullptr, Py_ssize_t(capacity));
        if (bytes_ == nullptr) throw pybind11::error_already_set();
        advise_huge_pages(PyBytes_AS_STRING(bytes_), capacity);
    }
    ~ResultBytes() { Py_XDECREF(bytes_); }
    ResultBytes(const ResultBytes&) = delete;
    ResultBytes& operator=(const ResultBytes&) = delete;

    uint8_t* data() { return reinterpret_cast<uint8_t*>(PyBytes_AS_STRING(bytes_)); }

    // The first `size` bytes as the result (a shrink, which cannot fail for
    // lack of room but is checked all the same). Needs the interpreter lock.
    pybind11::bytes take(size_t size) {
        if (_PyBytes_Resize(&bytes_, Py_ssize_t(size)) != 0) throw pybind11::error_already_set();
        PyObject* done = bytes_;
        bytes_ = nullptr;
        return pybind11::reinterpret_steal<pybind11::bytes>(done);
    }

private:
    PyObject* bytes_;
};

}  // namespace vek
