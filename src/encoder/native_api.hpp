// What jarn._encoder offers to the profiler core through a capsule: the core, finding that the
// host's serialiser is an Encoder, has it write straight into the record being built instead of
// calling it and copying the bytes object it would return. Both sides are built together.
#pragma once

#include <Python.h>

#include <cstdint>
#include <vector>

namespace jarn {

inline constexpr const char* kEncoderCapsule = "jarn._encoder._native_api";
inline constexpr int kEncoderApiVersion = 2;

struct EncoderNativeApi {
    int version;
    PyTypeObject* type;
    // Appends the encoding of `value` (what calling the encoder would return) to `out`; false
    // with the exception set, `out` unchanged.
    bool (*append)(PyObject* encoder, PyObject* value, std::vector<std::uint8_t>& out);
    // Appends what encoding a dict of these n str keys and values would append, without the
    // dict: a frame's variables go straight into the record. 1 when written; 0 when the dict
    // itself must be encoded instead (it would be handed to the fallback as a whole), `out`
    // unchanged; -1 with the exception set.
    int (*append_map)(PyObject* encoder, PyObject* const* keys, PyObject* const* values, std::size_t n,
                      std::vector<std::uint8_t>& out);
};

}  // namespace jarn
