#include "instance_memo.hpp"

#include <cstring>

namespace jarn {
namespace {

struct Entry {
    const PyObject* object = nullptr;     // not a reference: only compared
    const PyObject* met_once = nullptr;   // the last object met here but not remembered
    MemoKey key{};
    int size = 0;
    std::array<std::uintptr_t, Makings::kMost> words{};
    std::array<Owned, Makings::kMost> held;  // the objects among the words
    std::string bytes;
    std::size_t text_at = 0;
    std::int64_t nodes = 0;
    std::size_t most = 0;
};

constexpr std::size_t kEntries = 128;

// Never destroyed: its entries hold Python objects, which must not be released after the
// interpreter has gone. Touched only with the interpreter lock held.
Entry* const entries = new Entry[kEntries];

Entry& entry_for(const PyObject* object) {
    const std::uintptr_t a = reinterpret_cast<std::uintptr_t>(object);
    return entries[((a >> 4) ^ (a >> 11)) % kEntries];
}

// Whether the fields are those the words were made from. A value at the address of one held is
// that one; a list or tuple is compared by its items.
bool same_fields(const Entry& e, PyObject* const* names, PyObject* const* values, int n) {
    const std::uintptr_t* w = e.words.data();
    const std::uintptr_t* const end = w + e.size;
    for (int i = 0; i < n; ++i) {
        if (w + 2 > end || *w++ != reinterpret_cast<std::uintptr_t>(names[i])) return false;
        PyObject* value = values[i];
        if (*w == reinterpret_cast<std::uintptr_t>(value) || *w == Makings::kScrubbed) {
            ++w;
            continue;
        }
        PyTypeObject* type = Py_TYPE(value);
        if (*w != (reinterpret_cast<std::uintptr_t>(type) | 1)) return false;
        const Py_ssize_t size = Py_SIZE(value);
        if (w + 2 + size > end || w[1] != (std::uintptr_t(size) << 1 | 1)) return false;
        w += 2;
        PyObject* const* items = type == &PyList_Type ? PySequence_Fast_ITEMS(value) : &PyTuple_GET_ITEM(value, 0);
        for (Py_ssize_t j = 0; j < size; ++j) {
            if (*w++ != reinterpret_cast<std::uintptr_t>(items[j])) return false;
        }
    }
    return w == end;
}

}  // namespace

bool met_before(const PyObject* object) {
    Entry& e = entry_for(object);
    if (e.object == object || e.met_once == object) return true;
    e.met_once = object;
    return false;
}

bool recall(const PyObject* object, const MemoKey& key, PyObject* const* names, PyObject* const* values, int n,
            Remembered& out) {
    const Entry& e = entry_for(object);
    if (e.object != object || !(e.key == key) || !same_fields(e, names, values, n)) return false;
    out = Remembered{e.bytes, e.text_at, e.nodes, e.most};
    return true;
}

void remember(const PyObject* object, const MemoKey& key, const Makings& makings, const Remembered& encoding) {
    Entry& e = entry_for(object);
    // Each object among the words is held by the fields it was read from: letting go of the
    // entry's old ones first cannot free it.
    const std::uintptr_t* words = makings.words();
    const int size = makings.size();
    for (int i = 0; i < size; ++i) {
        Owned& held = e.held[std::size_t(i)];
        if ((words[i] & 1) != 0) {
            held.reset();
        } else if (e.words[std::size_t(i)] != words[i] || i >= e.size || !held) {
            held = Owned::borrow(reinterpret_cast<PyObject*>(words[i]));
        }
    }
    for (int i = size; i < e.size; ++i) e.held[std::size_t(i)].reset();
    e.object = object;
    e.met_once = nullptr;
    e.key = key;
    e.size = size;
    std::memcpy(e.words.data(), words, std::size_t(size) * sizeof(std::uintptr_t));
    e.bytes.assign(encoding.bytes);
    e.text_at = encoding.text_at;
    e.nodes = encoding.nodes;
    e.most = encoding.most;
}

}  // namespace jarn
