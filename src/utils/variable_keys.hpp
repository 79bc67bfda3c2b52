// What writing a function frame's variables needs from its code object alone, worked out once per
// code object instead of at every event: each variable's name already encoded as a MessagePack
// key, and which slots are skipped or need a closer look.
#pragma once

#include <Python.h>

#include <cstdint>
#include <string>
#include <vector>

namespace jarn {

struct VariableKeys {
    enum class Slot : std::uint8_t {
        value,    // holds the value itself
        closure,  // a cell or free variable: read through FrameVariables::closure_value
        hidden,   // a comprehension's variable, written after all others
        skipped,  // "__builtins__", which a record never shows
    };
    struct Entry {
        std::uint32_t offset;  // of the encoded key in `keys`
        std::uint16_t size;
        Slot slot;
    };
    // Bytes past the last key, so that a key of up to that many bytes may be copied in one move.
    static constexpr std::size_t kPadding = 16;

    bool made = false;         // filled from the code object
    bool plain = false;        // every name a str the encoder writes as it is; the rest is kept only if so
    bool simple = false;       // every slot of kind `value`, every key within kPadding bytes
    // Whether the code's events may be recorded the plain way, with the keys: 0 not (the keys are
    // not plain, or its frames keep their variables in a mapping: a module, a class body, code
    // run by exec), 1 a function's, 2 a generator's or coroutine's, whose steps are noted apart.
    std::uint8_t plain_way = 0;
    std::vector<Entry> entries;   // one per slot
    std::string keys;             // the encoded keys back to back, then kPadding bytes
    Py_ssize_t longest_name = 0;  // in characters: a name longer than the encoder's max_str is not plain
    // Room for the map when every variable is bound to a value of at most 9 bytes, kPadding included.
    std::size_t most = 0;
    // Whether a variable has the name of a secret by the scrub rules of that id (0: not known).
    mutable std::uint64_t scrub_id = 0;
    mutable bool secret_name = false;
    // For code whose frames may take the short way (host_serialize.cpp): every slot of kind
    // `value`, every key within kPadding bytes, fewer than 16 slots. Each slot's key in one
    // stretch with its size beside it, so that the key is copied and stepped past in one look.
    // Empty for other code.
    struct ShortKey {
        std::uint8_t bytes[kPadding];  // the encoded key, then zeros
        std::uint8_t size;
        std::uint8_t unused[15];  // a power of two apart: found from the slot's own offset
    };
    std::vector<ShortKey> short_keys;
    // A record written in place may take the short way while the native serialiser of mode m is
    // the one of generation g and the scrub rules are those of `short_scrub_id`, where
    // `short_stamp` is g * 4 + m (0: not known; generations start at 1): every check that depends
    // on the code and these alone was passed then. With that serialiser's longest plain str and
    // the bytes of a budget as it starts one, read in its stead.
    mutable std::uint64_t short_stamp = 0;
    mutable std::uint64_t short_scrub_id = 0;
    mutable std::uint64_t short_bytes = 0;
    mutable Py_ssize_t short_max_str = 0;
};

// Fills `keys` from the code object; false (no exception set) when a name is not a str the
// encoder writes as it is.
bool fill_variable_keys(VariableKeys& keys, PyCodeObject* code);

}  // namespace jarn

// Kept per code object: variable_keys(code) is in code_info.hpp.
#include "code_info.hpp"
