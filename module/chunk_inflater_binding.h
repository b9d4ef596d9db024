// vekzip._engine.ChunkInflater: zlib's raw inflater with the surface of
// zlib.decompressobj(-15) that the indexed reader uses (decompress with a
// limit, unconsumed_tail, unused_data, eof), plus the one thing Python's
// zlib cannot tell: whether the input so far ended at a byte-aligned block
// boundary.
#pragma once

#include <pybind11/pybind11.h>

#include <cstdint>
#include <memory>
#include <mutex>
#include <string>

#include "chunk_inflater.h"
#include "interpreter_lock.h"
#include "result_bytes.h"

namespace vek {

namespace py = pybind11;

class BoundChunkInflater {
public:
    py::bytes decompress(py::buffer data, size_t max_length) {
        if (max_length == 0) throw py::value_error("max_length must be above 0");
        auto lock = lock_call(mutex_);
        py::buffer_info input = data.request();
        if (input.ndim != 1 || input.itemsize != 1 || input.strides[0] != 1)
            throw py::buffer_error("decompress takes C-contiguous bytes");
        const auto* in = static_cast<const uint8_t*>(input.ptr);
        const size_t in_size = size_t(input.size);
        ResultBytes result(max_length);
        ChunkInflater::Step step;
        {
            MaybeReleaseLock released(in_size + max_length);
            step = inflater_.inflate(in, in_size, result.data(), max_length);
        }
        if (step.status == ChunkInflater::Status::bad_data) {
            PyErr_SetString(py::module_::import("zlib").attr("error").ptr(),
                            ("Error -3 while decompressing data: " + inflater_.error()).c_str());
            throw py::error_already_set();
        }
        py::bytes rest(reinterpret_cast<const char*>(in + step.consumed), in_size - step.consumed);
        if (step.status == ChunkInflater::Status::stream_end) {
            eof_ = true;
            unused_data_ = rest;
            unconsumed_tail_ = py::bytes();
        } else {
            unconsumed_tail_ = rest;
        }
        return result.take(step.produced);
    }

    bool at_block_boundary() {
        auto lock = lock_call(mutex_);
        return inflater_.at_byte_aligned_block_boundary();
    }
    bool eof() const { return eof_; }
    py::bytes unconsumed_tail() const { return unconsumed_tail_; }
    py::bytes unused_data() const { return unused_data_; }

private:
    std::mutex mutex_;
    ChunkInflater inflater_;
    bool eof_ = false;
    py::bytes unconsumed_tail_;
    py::bytes unused_data_;
};

inline void bind_chunk_inflater(py::module_& m) {
    py::class_<BoundChunkInflater>(m, "ChunkInflater")
        .def(py::init<>())
        .def("decompress", &BoundChunkInflater::decompress, py::arg("data"), py::arg("max_length"))
        .def_property_readonly("at_block_boundary", &BoundChunkInflater::at_block_boundary)
        .def_property_readonly("eof", &BoundChunkInflater::eof)
        .def_property_readonly("unconsumed_tail", &BoundChunkInflater::unconsumed_tail)
        .def_property_readonly("unused_data", &BoundChunkInflater::unused_data);
}

}  // namespace vek
