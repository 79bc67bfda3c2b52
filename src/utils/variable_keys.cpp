#include "variable_keys.hpp"

#include <algorithm>
#include <array>
#include <cstdint>
#include <cstring>
#include <utility>

#include "cpython_compat.hpp"
#include "frame_state.hpp"
#include "msgpack.hpp"
#include "owned.hpp"

namespace jarn {
namespace {

void append_key(std::string& keys, const char* data, std::size_t n) {
    std::uint8_t header[5];
    msgpack::Cursor c(header);
    c.str_header(n);
    keys.append(reinterpret_cast<const char*>(header), std::size_t(c.at() - header));
    keys.append(data, n);
}

bool fill(VariableKeys& e, PyCodeObject* code) {
    e.made = true;
    const int n = compat::variable_count(code);
    e.entries.clear();
    e.keys.clear();
    e.short_keys.clear();
    e.longest_name = 0;
    e.simple = true;
    for (int i = 0; i < n; ++i) {
        PyObject* name = compat::variable_name(code, i);  // borrowed
        if (!PyUnicode_CheckExact(name)) return false;
        Py_ssize_t size;
        const char* data = PyUnicode_AsUTF8AndSize(name, &size);
        if (data == nullptr) {
            PyErr_Clear();  // lone surrogates: the encoder's own rules
            return false;
        }
        if (size >= 65536 - 3) return false;
        VariableKeys::Slot slot = VariableKeys::Slot::skipped;
        if (!is_builtins_name(name)) {
            const compat::SlotKind kind = compat::slot_kind(code, i);
            slot = kind == compat::SlotKind::value     ? VariableKeys::Slot::value
                   : kind == compat::SlotKind::closure ? VariableKeys::Slot::closure
                                                       : VariableKeys::Slot::hidden;
            e.longest_name = std::max(e.longest_name, PyUnicode_GET_LENGTH(name));
        }
        const std::size_t offset = e.keys.size();
        append_key(e.keys, data, std::size_t(size));
        e.entries.push_back({std::uint32_t(offset), std::uint16_t(e.keys.size() - offset), slot});
        e.simple = e.simple && slot == VariableKeys::Slot::value && e.entries.back().size <= VariableKeys::kPadding;
    }
    e.keys.append(VariableKeys::kPadding, '\0');
    if (e.simple && n < 16) {
        e.short_keys.resize(std::size_t(n));
        for (int i = 0; i < n; ++i) {
            const VariableKeys::Entry entry = e.entries[std::size_t(i)];
            VariableKeys::ShortKey& key = e.short_keys[std::size_t(i)];
            std::memcpy(key.bytes, e.keys.data() + entry.offset, entry.size);
            key.size = std::uint8_t(entry.size);
        }
    }
    e.most = 1 + e.keys.size() + 9 * std::size_t(n);
    return true;
}

}  // namespace

bool fill_variable_keys(VariableKeys& keys, PyCodeObject* code) {
    keys.plain = fill(keys, code);
    keys.plain_way = !keys.plain || !(code->co_flags & CO_OPTIMIZED) ? 0 : compat::runs_in_steps(code) ? 2 : 1;
    return keys.plain;
}

}  // namespace jarn
