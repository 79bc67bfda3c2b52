// What writing a function frame's variables needs from its code object alone, worked out once per
// code object instead of at every event: each variable's name already encoded as a MessagePack
// key, and which slots are skipped or need a closer look.
#pragma once

#include <Python.h>

#include <array>
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

    PyObject* code = nullptr;  // strong, so that its address is not reused while this is kept
    bool plain = false;        // every name a str the encoder writes as it is; the rest is kept only if so
    bool simple = false;       // every slot of kind `value`, every key within kPadding bytes
    std::vector<Entry> entries;   // one per slot
    std::string keys;             // the encoded keys back to back, then kPadding bytes
    Py_ssize_t longest_name = 0;  // in characters: a name longer than the encoder's max_str is not plain
    // Room for the map when every variable is bound to a value of at most 9 bytes, kPadding included.
    std::size_t most = 0;
    // Whether a variable has the name of a secret by the scrub rules of that id (0: not known).
    mutable std::uint64_t scrub_id = 0;
    mutable bool secret_name = false;
};

// Kept for the process, guarded by the interpreter lock: one table for all threads, since code
// objects are shared between threads and their keys do not depend on the thread.
extern std::array<VariableKeys, 256> variable_keys_table;

// Makes `entry` that of `code`. Releasing the code object it held may run code.
const VariableKeys* renew_variable_keys(VariableKeys& entry, PyCodeObject* code);

// The keys of `code`'s variables, or null (no exception set) when a name is not a str the encoder
// writes as it is. Valid until code runs.
inline const VariableKeys* variable_keys(PyCodeObject* code) {
    const auto address = reinterpret_cast<std::uintptr_t>(code);
    VariableKeys& entry = variable_keys_table[((address >> 4) ^ (address >> 12)) % variable_keys_table.size()];
    if (entry.code == reinterpret_cast<PyObject*>(code)) [[likely]] return entry.plain ? &entry : nullptr;
    return renew_variable_keys(entry, code);
}

}  // namespace jarn
