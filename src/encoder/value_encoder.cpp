#include "value_encoder.hpp"

#include <time.h>

#include <algorithm>
#include <array>
#include <charconv>
#include <cstring>
#include <set>
#include <string>
#include <utility>

#include "../utils/convert.hpp"
#include "../utils/owned.hpp"

namespace jarn {
namespace {

void write_bin(msgpack::Buffer& b, const char* data, std::size_t n) {
    if (n < 256) {
        msgpack::put_u8(b, 0xc4);
        msgpack::put_u8(b, std::uint8_t(n));
    } else if (n < 65536) {
        msgpack::put_u8(b, 0xc5);
        msgpack::put_be16(b, std::uint16_t(n));
    } else {
        msgpack::put_u8(b, 0xc6);
        msgpack::put_be32(b, std::uint32_t(n));
    }
    msgpack::put_bytes(b, data, n);
}

// "module.QualName" as the type's own __module__ and __qualname__ give it (the qualname alone for
// builtins), read without going through a metaclass.
bool type_name(PyTypeObject* type, std::string& out) {
    Owned qualname = Owned::steal(PyType_GetQualName(type));
    Py_ssize_t size;
    const char* q = qualname ? PyUnicode_AsUTF8AndSize(qualname.get(), &size) : nullptr;
    if (q == nullptr) return false;
    const std::string_view qual(q, std::size_t(size));
    if (type->tp_flags & Py_TPFLAGS_HEAPTYPE) {
        static PyObject* const module_key = PyUnicode_InternFromString("__module__");  // kept for good
        PyObject* dict = type->tp_dict;  // borrowed; heap types always have their own dict
        PyObject* module = dict != nullptr && module_key != nullptr ? PyDict_GetItemWithError(dict, module_key) : nullptr;
        const char* m = module != nullptr && PyUnicode_Check(module) ? PyUnicode_AsUTF8AndSize(module, &size) : nullptr;
        if (m == nullptr) return false;
        const std::string_view mod(m, std::size_t(size));
        out.assign(mod == "builtins" ? "" : std::string(mod) + ".").append(qual);
        return true;
    }
    const char* dot = std::strrchr(type->tp_name, '.');
    if (dot == nullptr) {
        out.assign(qual);
    } else {
        out.assign(type->tp_name, std::size_t(dot - type->tp_name)).append(".").append(qual);
    }
    return true;
}

// The UTF-8 text of a str; null, with no exception left set, when it has none (lone surrogates).
const char* utf8_or_none(PyObject* s, Py_ssize_t& size) {
    const char* data = utf8_and_size(s, size);
    if (data == nullptr) PyErr_Clear();
    return data;
}

// Writes a str of `size` bytes, given in pieces, with one growth of the buffer to its exact size.
class StrWriter : public msgpack::Cursor {
public:
    StrWriter(msgpack::Buffer& b, std::size_t size) : Cursor(nullptr) {
        const std::size_t at = b.size();
        b.resize(at + msgpack::str_header_size(size) + size);
        at_ = b.data() + at;
        str_header(size);
    }
    StrWriter& operator<<(std::string_view s) {
        if (s.empty()) return *this;  // an empty view's data may be null, which memcpy must not get
        std::memcpy(at_, s.data(), s.size());
        at_ += s.size();
        return *this;
    }
};

void put_str(msgpack::Buffer& b, const char* data, std::size_t n) { StrWriter(b, n) << std::string_view(data, n); }

// The name object.__repr__ and type.__repr__ show, "module.QualName" or tp_name, worked out as
// they do: the module from the type's own dict for a heap type, the type's tp_name when that
// module is missing, not a str, or "builtins". False when it is not valid UTF-8.
bool repr_name(PyTypeObject* type, std::string& out) {
    PyObject* module = nullptr;  // borrowed
    if (type->tp_flags & Py_TPFLAGS_HEAPTYPE) {
        static PyObject* const module_key = PyUnicode_InternFromString("__module__");  // kept for good
        PyObject* dict = type->tp_dict;  // borrowed
        module = dict != nullptr && module_key != nullptr ? PyDict_GetItemWithError(dict, module_key) : nullptr;
        if (module == nullptr) PyErr_Clear();
        if (module != nullptr && (!PyUnicode_Check(module) || PyUnicode_CompareWithASCIIString(module, "builtins") == 0)) {
            module = nullptr;
        }
    }
    if (module == nullptr) {
        out.assign(type->tp_name);
    } else {
        PyObject* qualname = reinterpret_cast<PyHeapTypeObject*>(type)->ht_qualname;  // borrowed
        Py_ssize_t module_size, qualname_size;
        const char* m = utf8_or_none(module, module_size);
        const char* q = m != nullptr ? utf8_or_none(qualname, qualname_size) : nullptr;
        if (q == nullptr) return false;
        out.assign(m, std::size_t(module_size)).append(".").append(q, std::size_t(qualname_size));
    }
    return true;
}

// What describing an object of a type needs, worked out once per type. A program describes the
// same few types over and over, and building a name costs more than the rest of a description.
// An entry holds while the type keeps its version tag (setattr on the type, __bases__ or a
// __repr__ set included, gives it a new one; tags are never reused, so neither is an entry by a
// new type at the old address), its qualname object and its tp_name (both may be replaced
// without a new tag). Only touched with the interpreter lock held, and nothing here runs Python
// code.
struct TypeEntry {
    PyTypeObject* type = nullptr;  // not a reference: only compared
    unsigned int version = 0;
    PyObject* qualname = nullptr;  // likewise
    const char* tp_name = nullptr;
    // What every description starts with: the MessagePack of {"__type__": name, "repr": up to the
    // repr's text. The name is at [name_at, name_at + name_size).
    std::string head;
    std::size_t name_at = 0;
    std::size_t name_size = 0;
    bool set_like = false;   // a subclass of set or frozenset: walked, not described
    bool repr_name_ok = false;  // repr_name below is the name the default reprs show
    std::string repr_name;

    std::string_view name() const { return std::string_view(head).substr(name_at, name_size); }
};
std::array<TypeEntry, 64> type_entries;
TypeEntry uncached_entry;

PyObject* heap_qualname(PyTypeObject* type) {
    return type->tp_flags & Py_TPFLAGS_HEAPTYPE ? reinterpret_cast<PyHeapTypeObject*>(type)->ht_qualname : nullptr;
}

bool fill_entry(PyTypeObject* type, TypeEntry& entry) {
    std::string name;
    if (!type_name(type, name)) return false;
    msgpack::Buffer head;
    msgpack::write_map_header(head, 2);
    msgpack::write_str(head, "__type__");
    msgpack::write_str_header(head, name.size());
    entry.name_at = head.size();
    entry.name_size = name.size();
    msgpack::put_bytes(head, name.data(), name.size());
    msgpack::write_str(head, "repr");
    entry.head.assign(head.begin(), head.end());
    entry.set_like = PyType_IsSubtype(type, &PySet_Type) || PyType_IsSubtype(type, &PyFrozenSet_Type);
    entry.repr_name_ok = repr_name(type, entry.repr_name);
    return true;
}

// The type's entry, valid until the next call; null, with an exception set, when the type has no
// name to describe it by.
const TypeEntry* type_entry(PyTypeObject* type) {
    TypeEntry& entry = type_entries[(reinterpret_cast<std::uintptr_t>(type) >> 4) % type_entries.size()];
    if (entry.type == type && entry.version == type->tp_version_tag && entry.version != 0 &&
        entry.qualname == heap_qualname(type) && entry.tp_name == type->tp_name) {
        return &entry;
    }
    if (!PyUnstable_Type_AssignVersionTag(type)) return fill_entry(type, uncached_entry) ? &uncached_entry : nullptr;
    entry.type = nullptr;
    if (!fill_entry(type, entry)) return nullptr;
    entry.type = type;
    entry.version = type->tp_version_tag;
    entry.qualname = heap_qualname(type);
    entry.tp_name = type->tp_name;
    return &entry;
}

// The address as "%#llx" writes it ("0x7f..."), into `buf`, without printf's cost.
std::string_view hex_address(const void* p, char (&buf)[2 + 2 * sizeof(std::uintptr_t)]) {
    std::uintptr_t a = reinterpret_cast<std::uintptr_t>(p);
    if (a == 0) return "0";
    static constexpr auto pairs = [] {  // "000102...ff": a byte's two digits at a time
        std::array<char, 512> t{};
        for (int i = 0; i < 256; ++i) {
            t[std::size_t(2 * i)] = "0123456789abcdef"[i >> 4];
            t[std::size_t(2 * i + 1)] = "0123456789abcdef"[i & 0xf];
        }
        return t;
    }();
    char* end = buf + sizeof buf;
    char* at = end;
    for (; a > 0xf; a >>= 8) {  // a pair is never the leading one with a zero: what is left is above it
        at -= 2;
        std::memcpy(at, &pairs[2 * (a & 0xff)], 2);
    }
    if (a != 0) *--at = "0123456789abcdef"[a];
    *--at = 'x';
    *--at = '0';
    return {at, std::size_t(end - at)};
}

// Types whose __repr__ once took longer than the budget: for the rest of the run their objects are
// described without it. Keyed by version tag as well as address, since a type freed and another
// built at its place gets a new tag. Touched only with the interpreter lock held.
std::set<std::pair<const PyTypeObject*, unsigned int>> slow_repr_types;
// Types whose __repr__ took longer than the budget by the wall clock, which a busy machine also
// makes happen: the next repr of the type is timed by the thread's CPU clock (a system call, too
// dear to read around every repr), and only that says whether the type is slow.
std::set<std::pair<const PyTypeObject*, unsigned int>> suspect_repr_types;

std::int64_t monotonic_ns() {
    timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return std::int64_t(ts.tv_sec) * 1000000000 + ts.tv_nsec;
}

std::pair<const PyTypeObject*, unsigned int> slow_key(PyTypeObject* type) {
    return {type, PyUnstable_Type_AssignVersionTag(type) ? type->tp_version_tag : 0u};
}

// The thread's CPU time: a repr is slow by the work it does, not by the machine being busy.
std::int64_t thread_cpu_ns() {
    timespec ts;
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &ts);
    return std::int64_t(ts.tv_sec) * 1000000000 + ts.tv_nsec;
}

constexpr std::string_view kTooMuchData = "<too much data>";

// With ObjectStyle::fallback only exact types are plain: a subclass may change how it iterates or
// prints, and the fallback decides what to make of it. When the encoder describes objects itself it
// follows the host's rules instead: subclasses of dict, list, tuple, set and frozenset are read
// through their base type (so none of their overrides run) and sets become arrays.
class Walker {
public:
    Walker(PyObject* fallback, const EncoderLimits& limits, ObjectStyle objects, ValueBudget& budget,
           msgpack::Buffer& out)
        : fallback_(fallback), limits_(limits), objects_(objects), budget_(budget), out_(out), start_(out.size()) {}

    EncodeResult value(PyObject* v, Py_ssize_t depth) {
        // Counted as the host's rules count them, so that both ways give the same bytes.
        if (--budget_.nodes < 0 || out_.size() - start_ >= budget_.bytes) {
            msgpack::write_str(out_, kTooMuchData);
            return EncodeResult::encoded;
        }
        if (v == Py_None) {
            msgpack::write_nil(out_);
        } else if (v == Py_True) {
            msgpack::write_true(out_);
        } else if (v == Py_False) {
            msgpack::put_u8(out_, 0xc2);
        } else if (PyLong_CheckExact(v)) {
            return integer(v, depth);
        } else if (PyUnicode_CheckExact(v)) {
            if (!str(v)) return delegate(v, depth);
        } else if (PyFloat_CheckExact(v)) {
            msgpack::write_f64(out_, PyFloat_AS_DOUBLE(v));
        } else if (PyBytes_CheckExact(v) && PyBytes_GET_SIZE(v) <= limits_.max_bytes) {
            write_bin(out_, PyBytes_AS_STRING(v), std::size_t(PyBytes_GET_SIZE(v)));
        } else if (objects_ == ObjectStyle::fallback &&
                   !(PyDict_CheckExact(v) || PyList_CheckExact(v) || PyTuple_CheckExact(v))) {
            return delegate(v, depth);
        } else if (PyDict_Check(v)) {
            return container(v, PyDict_GET_SIZE(v), depth, &Walker::dict);
        } else if (PyList_Check(v)) {
            return container(v, PyList_GET_SIZE(v), depth, &Walker::list);
        } else if (PyTuple_Check(v)) {
            return container(v, PyTuple_GET_SIZE(v), depth, &Walker::tuple);
        } else if (PyAnySet_CheckExact(v)) {
            return container(v, PySet_GET_SIZE(v), depth, &Walker::set);
        } else {
            return object(v, depth);
        }
        return EncodeResult::encoded;
    }

private:
    using Walk = EncodeResult (Walker::*)(PyObject*, Py_ssize_t);

    EncodeResult delegate(PyObject* v, Py_ssize_t depth) {
        ++budget_.nodes;  // the fallback counts the value itself again
        return append_fallback(fallback_, v, depth, budget_, out_) ? EncodeResult::encoded : EncodeResult::error;
    }

    // What is neither plain nor an exact container: bytes too long to be plain and bytearrays go
    // to the fallback (written as bytes, cut where needed), subclasses of set are walked, the rest
    // is described.
    EncodeResult object(PyObject* v, Py_ssize_t depth) {
        if (PyBytes_CheckExact(v) || PyByteArray_CheckExact(v)) return delegate(v, depth);
        const TypeEntry* type = type_entry(Py_TYPE(v));
        if (type == nullptr) {
            if (PyAnySet_Check(v)) {
                PyErr_Clear();
                return container(v, PySet_GET_SIZE(v), depth, &Walker::set);
            }
            if (PyErr_Occurred() && !PyErr_ExceptionMatches(PyExc_Exception)) return EncodeResult::error;
            PyErr_Clear();
            return delegate(v, depth);
        }
        if (type->set_like) return container(v, PySet_GET_SIZE(v), depth, &Walker::set);
        return describe(v, *type, depth);
    }

    // Writes {"__type__": name, "repr": text}. The type's entry is read before the repr runs: the
    // repr may run Python code that describes other values and reuses the entry.
    EncodeResult describe(PyObject* v, const TypeEntry& type, Py_ssize_t depth) {
        const std::size_t start = out_.size();
        msgpack::put_bytes(out_, type.head.data(), type.head.size());
        const bool slow = objects_ != ObjectStyle::by_address && !slow_repr_types.empty() &&
                          slow_repr_types.count(slow_key(Py_TYPE(v))) != 0;
        if (objects_ == ObjectStyle::by_address || slow) {
            char address[2 + 2 * sizeof(std::uintptr_t)];
            const std::string_view name = type.name();
            const std::string_view hex = hex_address(v, address);
            static constexpr std::string_view middle = " object at ";
            static constexpr std::string_view skipped = "; repr skipped: too slow";
            const std::string_view note = slow ? skipped : std::string_view();
            const std::size_t size = 1 + name.size() + middle.size() + hex.size() + note.size() + 1;
            StrWriter(out_, size) << "<" << name << middle << hex << note << ">";
            return EncodeResult::encoded;
        }
        // The reprs of plain objects, classes and functions run none of the program's code and
        // their text is known: written here, without building it as a str (most of its cost is
        // formatting the address). `type` is not used after a class's own entry is looked up.
        const reprfunc own_repr = Py_TYPE(v)->tp_repr;
        if (own_repr == PyBaseObject_Type.tp_repr && type.repr_name_ok) {
            if (write_with_address(v, "<", type.repr_name, " object at ")) return EncodeResult::encoded;
        } else if (own_repr == PyType_Type.tp_repr) {
            const TypeEntry* cls = type_entry(reinterpret_cast<PyTypeObject*>(v));
            const std::size_t size = 8 + (cls != nullptr ? cls->repr_name.size() : 0) + 2;
            if (cls != nullptr && cls->repr_name_ok && Py_ssize_t(size) <= limits_.max_repr) {
                StrWriter(out_, size) << "<class '" << cls->repr_name << "'>";
                return EncodeResult::encoded;
            }
            if (cls == nullptr && PyErr_Occurred() && !PyErr_ExceptionMatches(PyExc_Exception)) {
                out_.resize(start);
                return EncodeResult::error;
            }
            PyErr_Clear();  // no name: type.__repr__ says what it says of such a class
        } else if (PyFunction_Check(v)) {  // exact: functions cannot be subclassed
            Py_ssize_t size;
            const char* qualname = utf8_or_none(reinterpret_cast<PyFunctionObject*>(v)->func_qualname, size);
            if (qualname != nullptr &&
                write_with_address(v, "<function ", std::string_view(qualname, std::size_t(size)), " at ")) {
                return EncodeResult::encoded;
            }
        }
        const bool suspect = !suspect_repr_types.empty() && suspect_repr_types.count(slow_key(Py_TYPE(v))) != 0;
        const auto clock = suspect ? thread_cpu_ns : monotonic_ns;
        const std::int64_t began = clock();
        Owned repr = Owned::steal(PyObject_Repr(v));
        const bool too_slow = clock() - began > budget_.slow_repr_ns;
        if (too_slow || suspect) {
            const auto key = slow_key(Py_TYPE(v));
            if (too_slow && suspect) slow_repr_types.insert(key);
            if (too_slow && !suspect) suspect_repr_types.insert(key);
            if (suspect) suspect_repr_types.erase(key);
        }
        if (!repr) {
            if (!PyErr_ExceptionMatches(PyExc_Exception)) {
                out_.resize(start);
                return EncodeResult::error;
            }
            // A rare path: both names are built afresh (the repr may have run code that reused
            // the cache entry the object's name came from).
            Owned exc = Owned::steal(PyErr_GetRaisedException());
            std::string object_name, exc_name;
            if (!type_name(Py_TYPE(v), object_name) || !type_name(Py_TYPE(exc.get()), exc_name)) {
                PyErr_Clear();
                out_.resize(start);
                return delegate(v, depth);
            }
            msgpack::write_str(out_, "<" + object_name + " object; repr failed: " + exc_name + ">");
            return EncodeResult::encoded;
        }
        Py_ssize_t size;
        const char* data = PyUnicode_GET_LENGTH(repr.get()) <= limits_.max_repr ? utf8_or_none(repr.get(), size) : nullptr;
        if (data == nullptr) {
            out_.resize(start);
            return delegate(v, depth);  // long, or not valid UTF-8: cut and cleaned there
        }
        put_str(out_, data, std::size_t(size));
        return EncodeResult::encoded;
    }

    // Writes the str of the pieces followed by the object's address and ">"; false, writing nothing,
    // when that text is longer than a repr is kept (the fallback cuts it).
    bool write_with_address(PyObject* v, std::string_view a, std::string_view b, std::string_view c) {
        char address[2 + 2 * sizeof(std::uintptr_t)];
        const std::string_view hex = hex_address(v, address);
        const std::size_t size = a.size() + b.size() + c.size() + hex.size() + 1;
        if (Py_ssize_t(size) > limits_.max_repr) return false;
        StrWriter(out_, size) << a << b << c << hex << ">";
        return true;
    }

    EncodeResult integer(PyObject* v, Py_ssize_t depth) {
        int overflow = 0;
        const long long s = PyLong_AsLongLongAndOverflow(v, &overflow);
        if (overflow == 0) {
            if (s == -1 && PyErr_Occurred()) return EncodeResult::error;
            msgpack::write_int(out_, s);
            return EncodeResult::encoded;
        }
        if (overflow > 0) {
            const unsigned long long u = PyLong_AsUnsignedLongLong(v);
            if (!(u == static_cast<unsigned long long>(-1) && PyErr_Occurred())) {
                msgpack::write_uint(out_, u);
                return EncodeResult::encoded;
            }
            PyErr_Clear();
        }
        return delegate(v, depth);  // beyond 64 bits
    }

    bool str(PyObject* v) {
        if (PyUnicode_GET_LENGTH(v) > limits_.max_str) return false;
        Py_ssize_t size;
        const char* data = utf8_or_none(v, size);
        if (data == nullptr) return false;  // lone surrogates
        put_str(out_, data, std::size_t(size));
        return true;
    }

    EncodeResult container(PyObject* v, Py_ssize_t size, Py_ssize_t depth, Walk walk) {
        // Long lists, tuples and dicts are cut here; other long containers by the fallback.
        const bool cut_here = objects_ != ObjectStyle::fallback && walk != &Walker::set;
        if (depth >= limits_.max_depth || (size > limits_.max_items && !cut_here)) return delegate(v, depth);
        // A container inside itself: the fallback knows how to cut that short.
        for (Py_ssize_t i = 0; i < depth; ++i) {
            if (path_[std::size_t(i)] == v) return EncodeResult::whole_value;
        }
        if (std::size_t(depth) >= path_.size()) return delegate(v, depth);
        path_[std::size_t(depth)] = v;
        return (this->*walk)(v, depth);
    }

    EncodeResult dict(PyObject* v, Py_ssize_t depth) {
        const Py_ssize_t n = PyDict_GET_SIZE(v);
        Py_ssize_t pos = 0;
        PyObject* key;    // borrowed
        PyObject* item;   // borrowed
        // Keys all str, or (when objects are described here) all ints of at most 64 bits, written
        // as their decimal text: such keys cannot meet after conversion. Anything else, mixed
        // keys included, goes to the fallback.
        bool str_keys = true;
        bool int_keys = objects_ != ObjectStyle::fallback;
        while (PyDict_Next(v, &pos, &key, &item) && (str_keys || int_keys)) {
            str_keys = str_keys && PyUnicode_CheckExact(key);
            int_keys = int_keys && fits_64_bits(key);
        }
        if (!str_keys && !int_keys) return delegate(v, depth);
        // A cut dict ends with the key "...", which must not be one of the keys it keeps.
        const Py_ssize_t kept = std::min(n, limits_.max_items);
        pos = 0;
        for (Py_ssize_t i = 0; kept < n && i < kept && PyDict_Next(v, &pos, &key, &item); ++i) {
            if (str_keys && PyUnicode_CompareWithASCIIString(key, "...") == 0) return delegate(v, depth);
        }
        msgpack::write_map_header(out_, std::size_t(kept < n ? kept + 1 : n));
        pos = 0;
        Py_ssize_t written = 0;
        while (written < kept && PyDict_Next(v, &pos, &key, &item)) {
            // The fallback runs Python code, which may change the dict under us: hold on to the
            // entry, and check afterwards that the map holds what its header promised.
            Owned key_ref = Owned::borrow(key);
            Owned item_ref = Owned::borrow(item);
            if (str_keys ? !PyUnicode_CheckExact(key) || !str(key) : !int_key(key)) return EncodeResult::whole_value;
            const EncodeResult r = value(item, depth + 1);
            if (r != EncodeResult::encoded) return r;
            ++written;
        }
        if (written != kept || PyDict_GET_SIZE(v) != n) return EncodeResult::whole_value;
        if (kept < n) {
            msgpack::write_str(out_, "...");
            write_more_items("", n - kept);
        }
        return EncodeResult::encoded;
    }

    // "<prefix>N more items": how a cut container says what it left out.
    void write_more_items(std::string_view prefix, Py_ssize_t more) {
        char digits[24];
        const auto r = std::to_chars(digits, digits + sizeof digits, more);
        static constexpr std::string_view tail = " more items";
        const std::string_view number(digits, std::size_t(r.ptr - digits));
        msgpack::write_str_header(out_, prefix.size() + number.size() + tail.size());
        msgpack::put_bytes(out_, prefix.data(), prefix.size());
        msgpack::put_bytes(out_, number.data(), number.size());
        msgpack::put_bytes(out_, tail.data(), tail.size());
    }

    static bool fits_64_bits(PyObject* key) {
        if (!PyLong_CheckExact(key)) return false;
        int overflow = 0;
        PyLong_AsLongLongAndOverflow(key, &overflow);
        if (overflow <= 0) return overflow == 0;
        const unsigned long long u = PyLong_AsUnsignedLongLong(key);
        if (u == static_cast<unsigned long long>(-1) && PyErr_Occurred()) {
            PyErr_Clear();
            return false;
        }
        return true;
    }

    bool int_key(PyObject* key) {
        if (!PyLong_CheckExact(key)) return false;
        char text[24];
        std::to_chars_result r;
        int overflow = 0;
        const long long s = PyLong_AsLongLongAndOverflow(key, &overflow);
        if (overflow == 0) {
            r = std::to_chars(text, text + sizeof text, s);
        } else {
            const unsigned long long u = PyLong_AsUnsignedLongLong(key);
            if (u == static_cast<unsigned long long>(-1) && PyErr_Occurred()) {
                PyErr_Clear();
                return false;
            }
            r = std::to_chars(text, text + sizeof text, u);
        }
        msgpack::write_str(out_, std::string_view(text, std::size_t(r.ptr - text)));
        return true;
    }

public:
    // What value() writes for an exact dict of these str keys and values, without the dict (a
    // frame's variables). Anything that dict would not write here itself (too many entries, a key
    // that is not a plain str) makes the whole dict the caller's to build and encode.
    EncodeResult map(PyObject* const* keys, PyObject* const* values, std::size_t n) {
        if (Py_ssize_t(n) > limits_.max_items || limits_.max_depth <= 0) return EncodeResult::whole_value;
        for (std::size_t i = 0; i < n; ++i) {
            if (!PyUnicode_CheckExact(keys[i])) return EncodeResult::whole_value;
        }
        if (--budget_.nodes < 0 || out_.size() - start_ >= budget_.bytes) {
            msgpack::write_str(out_, kTooMuchData);
            return EncodeResult::encoded;
        }
        path_[0] = nullptr;  // a dict that does not exist cannot hold itself
        msgpack::write_map_header(out_, n);
        for (std::size_t i = 0; i < n; ++i) {
            if (!str(keys[i])) return EncodeResult::whole_value;
            const EncodeResult r = value(values[i], 1);
            if (r != EncodeResult::encoded) return r;
        }
        return EncodeResult::encoded;
    }

private:
    EncodeResult list(PyObject* v, Py_ssize_t depth) {
        const Py_ssize_t n = PyList_GET_SIZE(v);
        const Py_ssize_t kept = std::min(n, limits_.max_items);
        msgpack::write_array_header(out_, std::size_t(kept < n ? kept + 1 : n));
        for (Py_ssize_t i = 0; i < kept; ++i) {
            if (PyList_GET_SIZE(v) != n) return EncodeResult::whole_value;
            Owned item = Owned::borrow(PyList_GET_ITEM(v, i));
            const EncodeResult r = value(item.get(), depth + 1);
            if (r != EncodeResult::encoded) return r;
        }
        if (PyList_GET_SIZE(v) != n) return EncodeResult::whole_value;
        if (kept < n) write_more_items("... ", n - kept);
        return EncodeResult::encoded;
    }

    EncodeResult tuple(PyObject* v, Py_ssize_t depth) {
        const Py_ssize_t n = PyTuple_GET_SIZE(v);
        const Py_ssize_t kept = std::min(n, limits_.max_items);
        msgpack::write_array_header(out_, std::size_t(kept < n ? kept + 1 : n));
        for (Py_ssize_t i = 0; i < kept; ++i) {
            const EncodeResult r = value(PyTuple_GET_ITEM(v, i), depth + 1);
            if (r != EncodeResult::encoded) return r;
        }
        if (kept < n) write_more_items("... ", n - kept);
        return EncodeResult::encoded;
    }

    EncodeResult set(PyObject* v, Py_ssize_t depth) {
        const Py_ssize_t n = PySet_GET_SIZE(v);
        // The base type's iterator, not the object's own __iter__.
        Owned items = Owned::steal(PySet_Type.tp_iter(v));
        if (!items) return EncodeResult::error;
        msgpack::write_array_header(out_, std::size_t(n));
        Py_ssize_t written = 0;
        while (Owned item = Owned::steal(PyIter_Next(items.get()))) {
            if (++written > n) return EncodeResult::whole_value;
            const EncodeResult r = value(item.get(), depth + 1);
            if (r != EncodeResult::encoded) return r;
            if (PySet_GET_SIZE(v) != n) return EncodeResult::whole_value;
        }
        if (PyErr_Occurred()) {
            if (!PyErr_ExceptionMatches(PyExc_Exception)) return EncodeResult::error;
            PyErr_Clear();  // changed while it was walked
            return EncodeResult::whole_value;
        }
        return written == n ? EncodeResult::encoded : EncodeResult::whole_value;
    }

    PyObject* fallback_;
    const EncoderLimits& limits_;
    ObjectStyle objects_;
    ValueBudget& budget_;
    msgpack::Buffer& out_;
    const std::size_t start_;
    // The containers being walked, outermost first; an entry is written before any is read, so
    // the array is not cleared for each walk.
    std::array<PyObject*, 64> path_;
};

}  // namespace

void start_budget(ValueBudget& budget, const EncoderLimits& limits) {
    if (!budget.fresh) return;
    budget.fresh = false;
    budget.nodes = limits.max_nodes;
    budget.bytes = std::uint64_t(limits.max_record_bytes);
    if (budget.slow_repr_ns < 0) budget.slow_repr_ns = limits.slow_repr_ns;
}

bool append_fallback(PyObject* fallback, PyObject* value, Py_ssize_t depth, ValueBudget& budget, msgpack::Buffer& out) {
    Owned depth_object = Owned::steal(PyLong_FromSsize_t(depth));
    Owned nodes_object = Owned::steal(PyLong_FromLongLong(std::max<std::int64_t>(budget.nodes, 0)));
    if (!depth_object || !nodes_object) return false;
    PyObject* args[] = {value, depth_object.get(), nodes_object.get()};
    Owned encoded = Owned::steal(PyObject_Vectorcall(fallback, args, 3, nullptr));
    if (!encoded) return false;
    std::int64_t left = budget.nodes - 1;
    PyObject* data = encoded.get();  // borrowed
    if (PyTuple_Check(data) && PyTuple_GET_SIZE(data) == 2) {
        left = PyLong_AsLongLong(PyTuple_GET_ITEM(data, 1));
        if (left == -1 && PyErr_Occurred()) return false;
        data = PyTuple_GET_ITEM(data, 0);
    }
    if (!PyBytes_Check(data)) {
        PyErr_Format(PyExc_TypeError, "the fallback of an Encoder must return bytes, not %.100s", Py_TYPE(data)->tp_name);
        return false;
    }
    msgpack::put_bytes(out, PyBytes_AS_STRING(data), std::size_t(PyBytes_GET_SIZE(data)));
    budget.nodes = left;
    return true;
}

namespace {

// Runs one top-level walk: on anything but `encoded` the buffer and the budget are put back as
// they were; otherwise the bytes written are taken from the budget.
template <typename Walk>
EncodeResult walk_on_budget(ValueBudget& budget, msgpack::Buffer& out, Walk walk) {
    const std::size_t start = out.size();
    const ValueBudget before = budget;
    const EncodeResult r = walk();
    if (r != EncodeResult::encoded) {
        out.resize(start);
        budget = before;
        return r;
    }
    const std::uint64_t written = out.size() - start;
    budget.bytes = written < budget.bytes ? budget.bytes - written : 0;
    return r;
}

}  // namespace

EncodeResult encode_map(PyObject* const* keys, PyObject* const* values, std::size_t n, PyObject* fallback,
                        const EncoderLimits& limits, ObjectStyle objects, ValueBudget& budget, msgpack::Buffer& out) {
    return walk_on_budget(budget, out, [&] { return Walker(fallback, limits, objects, budget, out).map(keys, values, n); });
}

EncodeResult encode_value(PyObject* value, PyObject* fallback, const EncoderLimits& limits, ObjectStyle objects,
                          ValueBudget& budget, msgpack::Buffer& out) {
    return walk_on_budget(budget, out, [&] { return Walker(fallback, limits, objects, budget, out).value(value, 0); });
}

}  // namespace jarn
