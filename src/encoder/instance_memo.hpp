// The encodings of the instances written last, each with what it was made from. A program shows
// the same objects over and over (`self` in every method, the items of a dict passed down a few
// calls), most of them unchanged since the last record: such an instance gets the bytes written
// the last time, without their being made again.
//
// An encoding is made from the instance's type, its fields' names and values, and the settings
// of the walk. The values remembered are only those no program can change or watch the life of:
// exact str, int and float objects, None and the bools, and the items of an exact list or tuple
// of them (the list itself is not kept: its items are compared each time). They are held, so that
// a value at the same address is the same value; nothing of the program's own classes is held,
// nor the value of a field whose name is a secret's.
#pragma once

#include <Python.h>

#include <array>
#include <cstdint>
#include <string>
#include <string_view>

#include "../utils/owned.hpp"

namespace jarn {

// What an encoding is made from, as words: each field's name and value, an exact list or tuple
// as its type and size (odd words, never an object's address) followed by its items, a scrubbed
// field's value as kScrubbed (it is neither shown nor kept).
class Makings {
public:
    static constexpr int kMost = 40;
    static constexpr std::uintptr_t kScrubbed = 3;

    // False when the value is not of the kinds remembered (or there is no more room).
    bool add(PyObject* name, PyObject* value, bool scrubbed) {
        if (n_ + 2 > kMost) return false;
        words_[n_++] = word(name);
        if (scrubbed) {
            words_[n_++] = kScrubbed;
            return true;
        }
        if (remembered(value)) {
            words_[n_++] = word(value);
            return true;
        }
        PyTypeObject* type = Py_TYPE(value);
        if (type != &PyList_Type && type != &PyTuple_Type) return false;
        const Py_ssize_t size = Py_SIZE(value);
        if (size > 15 || n_ + 2 + size > kMost) return false;
        PyObject* const* items = type == &PyList_Type ? PySequence_Fast_ITEMS(value) : &PyTuple_GET_ITEM(value, 0);
        words_[n_++] = word(type) | 1;
        words_[n_++] = std::uintptr_t(size) << 1 | 1;
        for (Py_ssize_t i = 0; i < size; ++i) {
            if (!remembered(items[i])) return false;
            words_[n_++] = word(items[i]);
        }
        return true;
    }
    int size() const { return n_; }
    const std::uintptr_t* words() const { return words_.data(); }

private:
    static bool remembered(PyObject* v) {
        PyTypeObject* type = Py_TYPE(v);
        return type == &PyUnicode_Type || type == &PyLong_Type || type == &PyFloat_Type || v == Py_None ||
               v == Py_True || v == Py_False;
    }
    static std::uintptr_t word(const void* p) { return reinterpret_cast<std::uintptr_t>(p); }

    std::array<std::uintptr_t, kMost> words_;
    int n_ = 0;
};

// The settings an encoding depends on besides its makings.
struct MemoKey {
    const void* type_entry;
    std::uint64_t entry_serial;
    std::uint64_t rules_id;
    std::size_t limit;
    Py_ssize_t max_str;
    Py_ssize_t max_items;
    bool rules_enabled;
    bool with_fields;

    bool operator==(const MemoKey&) const = default;
};

// An encoding remembered: its bytes, where its text is among them, and what it took from the
// budget.
struct Remembered {
    std::string_view bytes;
    std::size_t text_at;
    std::int64_t nodes;
    std::size_t most;  // the room it was written in
};

// Whether an encoding of this object may be remembered or recalled: it is the one remembered at
// its place, or it was met there last. Notes it otherwise (most objects met once are not met
// again, and their makings are not worth working out).
bool met_before(const PyObject* object);

// The encoding last written for this object with these settings, when it was made from these n
// fields (names and values); false otherwise.
bool recall(const PyObject* object, const MemoKey& key, PyObject* const* names, PyObject* const* values, int n,
            Remembered& out);

// Remembers an encoding just written.
void remember(const PyObject* object, const MemoKey& key, const Makings& makings, const Remembered& encoding);

}  // namespace jarn
