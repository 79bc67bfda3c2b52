// What jarn._encoder offers to the profiler core through a capsule: the core, finding that the
// host's serialiser is an Encoder, has it write straight into the record being built instead of
// calling it and copying the bytes object it would return. Both sides are built together.
#pragma once

#include <Python.h>

#include <cstdint>
#include <vector>

namespace jarn {

inline constexpr const char* kEncoderCapsule = "jarn._encoder._native_api";
inline constexpr int kEncoderApiVersion = 1;

struct EncoderNativeApi {
    int version;
    PyTypeObject* type;
    // Appends the encoding of `value` (what calling the encoder would return) to `out`; false
    // with the exception set, `out` unchanged.
    bool (*append)(PyObject* encoder, PyObject* value, std::vector<std::uint8_t>& out);
};

}  // namespace jarn
