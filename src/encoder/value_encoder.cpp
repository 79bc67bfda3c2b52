#include "value_encoder.hpp"

#include <time.h>

#include <algorithm>
#include <array>
#include <charconv>
#include <cstring>
#include <set>
#include <string>
#include <utility>
#include <vector>

#include "../utils/convert.hpp"
#include "../utils/cpython_compat.hpp"
#include "../utils/owned.hpp"
#include "fields.hpp"
#include "instance_memo.hpp"
#include "short_text.hpp"
#include "text_util.hpp"
#include "type_entry.hpp"

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

// Types whose __repr__ once took longer than the budget, by the wall clock (a __repr__ that
// sleeps or waits for I/O is as slow as one that computes): for the rest of the run their objects
// are described without it. Keyed by version tag as well as address, since a type freed and
// another built at its place gets a new tag. Touched only with the interpreter lock held.
std::set<std::pair<const PyTypeObject*, unsigned int>> slow_repr_types;

std::int64_t monotonic_ns() {
    timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return std::int64_t(ts.tv_sec) * 1000000000 + ts.tv_nsec;
}

std::pair<const PyTypeObject*, unsigned int> slow_key(PyTypeObject* type) {
    return {type, PyUnstable_Type_AssignVersionTag(type) ? type->tp_version_tag : 0u};
}

constexpr std::string_view kTooMuchData = "<too much data>";

// UTF-8 characters in a text (the bytes that do not continue one).
std::size_t characters(std::string_view text) {
    std::size_t n = 0;
    for (unsigned char c : text) n += (c & 0xc0) != 0x80;
    return n;
}

// Room for the text of an object: on the stack for the usual limits, else on the heap.
class TextRoom {
public:
    explicit TextRoom(std::size_t limit) {
        if (limit + 3 > sizeof small_) {
            big_.resize(limit + 3);
            data_ = big_.data();
        }
    }
    char* data() { return data_; }

private:
    char small_[640];
    char* data_ = small_;
    std::string big_;
};

// With ObjectStyle::fallback only exact types are plain: a subclass may change how it iterates or
// prints, and the fallback decides what to make of it. When the encoder describes objects itself it
// follows the host's rules instead: subclasses of dict, list, tuple, set and frozenset are read
// through their base type (so none of their overrides run) and sets become arrays.
class Walker {
public:
    Walker(const EncodeContext& ctx, ValueBudget& budget, msgpack::Buffer& out)
        : ctx_(ctx), limits_(ctx.limits), objects_(ctx.objects), rules_(ctx.rules), budget_(budget), out_(out),
          start_(out.size()) {}

    EncodeResult value(PyObject* v, Py_ssize_t depth) {
        // Counted as the host's rules count them, so that both ways give the same bytes.
        if (out_of_budget()) return EncodeResult::encoded;
        if (PyUnicode_CheckExact(v)) {
            if (!str(v, true, true)) return delegate(v, depth);
        } else if (v == Py_None) {
            msgpack::write_nil(out_);
            text("None");
        } else if (v == Py_True) {
            msgpack::write_true(out_);
            text("True");
        } else if (v == Py_False) {
            msgpack::put_u8(out_, 0xc2);
            text("False");
        } else if (PyLong_CheckExact(v)) {
            return integer(v, depth);
        } else if (PyFloat_CheckExact(v)) {
            msgpack::write_f64(out_, PyFloat_AS_DOUBLE(v));
            if (texting()) text_->floating(PyFloat_AS_DOUBLE(v));
        } else if (PyBytes_CheckExact(v) && PyBytes_GET_SIZE(v) <= limits_.max_bytes) {
            write_bin(out_, PyBytes_AS_STRING(v), std::size_t(PyBytes_GET_SIZE(v)));
            text_of(v, depth);
        } else if (objects_ == ObjectStyle::fallback &&
                   !(PyDict_CheckExact(v) || PyList_CheckExact(v) || PyTuple_CheckExact(v))) {
            return delegate(v, depth);
        } else if (PyDict_Check(v)) {
            return container(v, PyDict_GET_SIZE(v), depth, &Walker::dict);
        } else if (PyList_Check(v)) {
            return container(v, PyList_GET_SIZE(v), depth, &Walker::list);
        } else if (PyTuple_CheckExact(v) || (PyTuple_Check(v) && objects_ != ObjectStyle::fields)) {
            return container(v, PyTuple_GET_SIZE(v), depth, &Walker::tuple);
        } else if (PyAnySet_CheckExact(v)) {
            return container(v, PySet_GET_SIZE(v), depth, &Walker::set);
        } else {
            return object(v, depth);
        }
        return EncodeResult::encoded;
    }

    // What value() writes for an exact dict of these str keys and values, without the dict (a
    // frame's variables). Anything that dict would not write here itself (too many entries, a key
    // that is not a plain str) makes the whole dict the caller's to build and encode.
    EncodeResult map(PyObject* const* keys, PyObject* const* values, std::size_t n) {
        if (Py_ssize_t(n) > limits_.max_items || limits_.max_depth <= 0) return EncodeResult::whole_value;
        for (std::size_t i = 0; i < n; ++i) {
            if (!PyUnicode_CheckExact(keys[i])) return EncodeResult::whole_value;
        }
        const bool names_clean = budget_.names_clean;
        budget_.names_clean = false;
        if (out_of_budget()) return EncodeResult::encoded;
        path_[0] = nullptr;  // a dict that does not exist cannot hold itself
        msgpack::write_map_header(out_, n);
        for (std::size_t i = 0; i < n; ++i) {
            if (!str(keys[i], false, false)) return EncodeResult::whole_value;
            const EncodeResult r = !names_clean && secret_name(keys[i]) ? scrubbed() : value(values[i], 1);
            if (r != EncodeResult::encoded) return r;
        }
        return EncodeResult::encoded;
    }

    // An object described as value() would describe it (its node already counted by the caller).
    EncodeResult described(PyObject* v, Py_ssize_t depth) {
        // Nothing of the walk around it is known here.
        for (Py_ssize_t i = 0; i < depth && i < Py_ssize_t(path_.size()); ++i) path_[std::size_t(i)] = nullptr;
        if (PyTuple_Check(v) && objects_ != ObjectStyle::fields) return container(v, PyTuple_GET_SIZE(v), depth, &Walker::tuple);
        return object(v, depth);
    }

private:
    using Walk = EncodeResult (Walker::*)(PyObject*, Py_ssize_t);

    // The text of the object whose fields are being written, made on the way (null when no
    // object's is): the pieces of each value as they are written.
    bool texting() const { return text_ != nullptr; }
    void text(std::string_view s) {
        if (text_ != nullptr) text_->put(s);
    }
    template <std::size_t N>
    void text(const char (&literal)[N]) {
        if (text_ != nullptr) text_->put(literal);
    }
    void text(char c) {
        if (text_ != nullptr) text_->put(c);
    }
    // An object's "text" entry, closing its map, and the same text passed up to the object that
    // holds it (when one is being texted).
    EncodeResult text_entry(std::string_view written) {
        msgpack::RawWriter w(out_, 5 + 5 + written.size());
        w.constant("\xa4text");
        w.str(written);
        w.finish();
        text(written);
        return EncodeResult::encoded;
    }
    // The text of a value this walk does not write itself (what the fallback writes).
    void text_of(PyObject* v, Py_ssize_t depth) {
        if (text_ != nullptr && !text_->full() && !text_->value(v, int(depth))) PyErr_Clear();
    }

    // Takes a node; past the budget writes "<too much data>" instead of the value, and says so.
    bool out_of_budget() {
        if (--budget_.nodes < 0 || out_.size() - start_ >= budget_.bytes) {
            msgpack::write_str(out_, kTooMuchData);
            text("...");
            return true;
        }
        return false;
    }

    EncodeResult scrubbed() {
        if (!out_of_budget()) {
            msgpack::write_str(out_, scrub::kMarker);
            text(scrub::kMarker);
        }
        return EncodeResult::encoded;
    }

    bool secret_name(PyObject* name) const { return rules_.enabled() && rules_.matches(utf8_view(name)); }

    EncodeResult delegate(PyObject* v, Py_ssize_t depth) {
        text_of(v, depth);
        ++budget_.nodes;  // the fallback counts the value itself again
        return append_fallback(ctx_, v, depth, budget_, out_) ? EncodeResult::encoded : EncodeResult::error;
    }

    // {"__type__": name, "repr" (or "text"): text} for a container cut short.
    EncodeResult placeholder(PyObject* v, std::string_view text) {
        std::string name;
        if (!type_name(Py_TYPE(v), name)) {
            if (PyErr_Occurred() && !PyErr_ExceptionMatches(PyExc_Exception)) return EncodeResult::error;
            PyErr_Clear();
            name = "<unknown type>";
        }
        msgpack::write_map_header(out_, 2);
        msgpack::write_str(out_, "__type__");
        msgpack::write_str(out_, name);
        msgpack::write_str(out_, objects_ == ObjectStyle::fields ? "text" : "repr");
        msgpack::write_str(out_, text);
        this->text("...");
        return EncodeResult::encoded;
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
        switch (objects_) {
            case ObjectStyle::fields:
                if (PyTuple_Check(v) && type->kind != ObjectKind::named_tuple) {
                    return container(v, PyTuple_GET_SIZE(v), depth, &Walker::tuple);
                }
                return with_fields(v, *type, depth);
            case ObjectStyle::repr:
                return by_repr(v, *type, depth);
            default:
                return by_address(v, *type, false);
        }
    }

    EncodeResult by_address(PyObject* v, const TypeEntry& type, bool slow) {
        msgpack::put_bytes(out_, type.head.data(), type.head.size());
        AddressText address;
        const std::string_view name = type.name();
        const std::string_view hex = hex_address(v, address);
        static constexpr std::string_view middle = " object at ";
        static constexpr std::string_view skipped = "; repr skipped: too slow";
        const std::string_view note = slow ? skipped : std::string_view();
        const std::size_t size = 1 + name.size() + middle.size() + hex.size() + note.size() + 1;
        StrWriter(out_, size) << "<" << name << middle << hex << note << ">";
        return EncodeResult::encoded;
    }

    // {"__type__": name, "fields": {...}, "text": text}: the fields as the object's storage holds
    // them, its text made while they are written; a value inside itself or past the depth limit,
    // and an object without fields, with its text alone.
    EncodeResult with_fields(PyObject* v, const TypeEntry& type, Py_ssize_t depth) {
        if (type.kind == ObjectKind::opaque && type.repr_name_ok) return opaque(v, type);
        for (Py_ssize_t i = 0; i < depth && i < Py_ssize_t(path_.size()); ++i) {
            if (path_[std::size_t(i)] == v) return placeholder(v, "<recursion>");
        }
        // Fields are shown for objects up to kObjectsWithFields deep in one another; one deeper
        // gets its text: an object graph (a framework's environment, a parser and its tokens)
        // would otherwise fill every record to its budget.
        const bool deep = objects_open_ >= kObjectsWithFields || !fields_room() || shown_before(v);
        const std::size_t limit = objects_open_ > 0 ? std::min(std::size_t(limits_.max_repr), kNestedText) : text_limit(has_fields(type.kind));
        if (type.kind == ObjectKind::instance && depth + 1 < limits_.max_depth && std::size_t(depth) < path_.size() &&
            plain_instance(v, type, !deep, limit)) {
            return EncodeResult::encoded;
        }
        if (!deep && type.kind == ObjectKind::instance && depth < limits_.max_depth && std::size_t(depth) < path_.size()) {
            const std::size_t start = out_.size();
            const ValueBudget before = budget_;
            const EncodeResult r = instance_fields(v, type, depth);
            if (r != EncodeResult::whole_value) return r;
            out_.resize(start);  // more fields than it reads at once: the general way below
            budget_ = before;
        }
        Fields fields;
        fields.limit = std::size_t(limits_.max_items);
        const bool readable = has_fields(type.kind) && type.kind != ObjectKind::number;
        if (has_fields(type.kind)) collect_fields(v, type, fields);
        const bool shown = !deep && (readable || fields.size() > 0) && depth < limits_.max_depth && std::size_t(depth) < path_.size();
        // The text of an object inside another's fields is a glimpse (`limit`): the fields above
        // show the rest.
        TextRoom room(limit);
        TextWriter own(room.data(), limit, rules_);
        TextWriter* const outer = text_;
        // The text of an exception shows its args, of a subclass of a plain type its value: made
        // apart. Any other object's is made from its fields as they are written.
        const bool apart = !shown || type.kind == ObjectKind::exception || type.kind == ObjectKind::number;
        if (apart) {
            const bool ok = readable ? own.with_fields(v, type, fields, 0) : own.object(v, type, 0);
            if (!ok) return EncodeResult::error;
        }
        // The head without its own map header: "__type__" and the name.
        const std::size_t head = type.name_at + type.name_size - 1;
        msgpack::put_u8(out_, shown ? 0x83 : 0x82);
        msgpack::put_bytes(out_, type.head.data() + 1, head);
        if (shown) {
            path_[std::size_t(depth)] = v;
            const std::size_t entries = fields.size() + (fields.more > 0 ? 1 : 0);
            if (entries < 16) {
                msgpack::RawWriter w(out_, 8);
                w.constant("\xa6" "fields");
                w.byte(std::uint8_t(0x80 | entries));
                w.finish();
            } else {
                msgpack::write_str(out_, "fields");
                msgpack::write_map_header(out_, entries);
            }
            text_ = apart ? nullptr : &own;
            text(type.text_name);
            text('(');
            const ObjectOpen open(objects_open_);
            for (std::size_t i = 0; i < fields.size(); ++i) {
                const Field& f = fields[i];
                const std::string_view name = utf8_view(f.name.get());
                put_str(out_, name.data(), name.size());
                if (i > 0) text(", ");
                text(name);
                text('=');
                EncodeResult r;
                if (!f.value) {
                    r = EncodeResult::encoded;
                    if (!out_of_budget()) {
                        msgpack::write_str(out_, "<deferred>");
                        text("<deferred>");
                    }
                } else if (rules_.enabled() && rules_.matches(name)) {
                    r = scrubbed();
                } else {
                    r = value(f.value.get(), depth + 1);
                }
                if (r != EncodeResult::encoded) {
                    text_ = outer;
                    return r;
                }
            }
            if (fields.more > 0) {
                msgpack::write_str(out_, "...");
                write_more_items("", Py_ssize_t(fields.more));
                text(", ...");
            }
            text(')');
            text_ = outer;
        }
        own.finish();
        return text_entry(own.text());
    }

    // Writes what writes_natively accepts into a Cursor that has room, and its text.
    static void plain_write(PyObject* v, msgpack::Cursor& c, TextWriter& t) {
        PyTypeObject* type = Py_TYPE(v);
        if (type == &PyUnicode_Type) {
            Py_ssize_t size;
            const char* data = utf8_and_size(v, size);  // known to have its UTF-8 form
            const std::string_view text(data, std::size_t(size));
            c.str_header(text.size());
            copy_bytes(c.at(), data, text.size());
            c = msgpack::Cursor(c.at() + text.size());
            t.text_of_str(text);
        } else if (type == &PyLong_Type) {
            const Py_ssize_t n = PyUnstable_Long_CompactValue(reinterpret_cast<PyLongObject*>(v));
            c.sint(n);
            t.integer(static_cast<long long>(n));
        } else if (type == &PyFloat_Type) {
            const double d = PyFloat_AS_DOUBLE(v);
            std::uint64_t bits;
            std::memcpy(&bits, &d, 8);
            bits = __builtin_bswap64(bits);
            c.byte(0xcb);
            std::memcpy(c.at(), &bits, 8);
            c = msgpack::Cursor(c.at() + 8);
            t.floating(d);
        } else if (v == Py_None) {
            c.byte(0xc0);
            t.put("None");
        } else if (v == Py_True) {
            c.byte(0xc3);
            t.put("True");
        } else if (v == Py_False) {
            c.byte(0xc2);
            t.put("False");
        } else {
            const bool list = type == &PyList_Type;
            const Py_ssize_t n = Py_SIZE(v);
            PyObject* const* items = list ? PySequence_Fast_ITEMS(v) : &PyTuple_GET_ITEM(v, 0);
            c.byte(std::uint8_t(0x90 | n));
            t.put(list ? '[' : '(');
            for (Py_ssize_t i = 0; i < n; ++i) {
                if (i > 0) t.put(", ");
                plain_write(items[i], c, t);
            }
            if (!list && n == 1) t.put(',');
            t.put(list ? ']' : ')');
        }
    }

    // Whether the value writes natively (as writes_natively says), adding up its bytes and nodes.
    bool plain_measure(PyObject* v, bool inside, std::size_t& bytes, std::int64_t& nodes) const {
        ++nodes;
        PyTypeObject* type = Py_TYPE(v);
        if (type == &PyUnicode_Type) {
            if (PyUnicode_GET_LENGTH(v) > limits_.max_str) return false;
            Py_ssize_t size;
            const char* data = utf8_or_none(v, size);
            if (data == nullptr || scrub::Rules::looks_like_url(std::string_view(data, std::size_t(size)))) return false;
            bytes += msgpack::str_header_size(std::size_t(size)) + std::size_t(size);
            return true;
        }
        if (type == &PyFloat_Type) {
            bytes += 9;
            return true;
        }
        if (type == &PyLong_Type) {
            bytes += 9;
            return PyUnstable_Long_IsCompact(reinterpret_cast<PyLongObject*>(v));
        }
        if (v == Py_None || v == Py_True || v == Py_False) {
            bytes += 1;
            return true;
        }
        if (inside || (type != &PyList_Type && type != &PyTuple_Type)) return false;
        const Py_ssize_t n = Py_SIZE(v);
        if (n > 15 || n > limits_.max_items) return false;
        bytes += 1;
        PyObject* const* items = type == &PyList_Type ? PySequence_Fast_ITEMS(v) : &PyTuple_GET_ITEM(v, 0);
        for (Py_ssize_t i = 0; i < n; ++i) {
            if (!plain_measure(items[i], true, bytes, nodes)) return false;
        }
        return true;
    }

    // instance_fields for an instance whose attributes all write natively and that fits the
    // budget: sized first, written at once. False, having written and taken nothing, otherwise.
    bool plain_instance(PyObject* v, const TypeEntry& type, bool with_fields, std::size_t limit) {
        constexpr int kRoom = 15;
        PyObject* names[kRoom];
        PyObject* values[kRoom];
        int keys[kRoom];
        if (type.secrets_of != rules_.id()) {
            for (TypeEntry::SharedName& known : type.first_names) known.name = nullptr;
            for (const SlotField& slot : type.slots) slot.secret = rules_.enabled() && rules_.matches(utf8_view(slot.name.get()));
            type.secrets_of = rules_.id();
        }
        int n = 0;
        for (const SlotField& slot : type.slots) {
            PyObject* value = slot_value(v, slot.offset);
            if (value == nullptr) continue;
            if (n == kRoom) return false;
            names[n] = slot.name.get();
            values[n] = value;
            keys[n++] = -2;
        }
        const int read = compat::read_instance_attributes(v, names + n, values + n, keys + n, kRoom - n);
        if (read < 0) return false;
        const int slots = n;
        n += read;
        if (n > limits_.max_items) return false;
        // Written just so the last time it was met: the same bytes again.
        const MemoKey key{&type, type.serial, rules_.id(), limit, limits_.max_str, limits_.max_items, rules_.enabled(), with_fields};
        const bool memo = type.serial != 0 && met_before(v);
        if (memo) {
            Remembered known;
            if (recall(v, key, names, values, n, known)) {
                if ((with_fields && known.nodes > budget_.nodes) || out_.size() - start_ + known.most >= budget_.bytes) return false;
                if (with_fields) budget_.nodes -= known.nodes;
                msgpack::put_bytes(out_, known.bytes.data(), known.bytes.size());
                text(known.bytes.substr(known.text_at));
                return true;
            }
        }
        std::string_view texts[kRoom];
        bool secret[kRoom];
        int at_slot = 0;
        for (const SlotField& slot : type.slots) {
            if (slot_value(v, slot.offset) == nullptr) continue;
            texts[at_slot] = utf8_view(slot.name.get());
            secret[at_slot++] = slot.secret;
        }
        const std::size_t head = type.name_at + type.name_size - 1;
        std::size_t bytes = 1 + head + 8;
        std::int64_t nodes = 0;
        for (int i = 0; i < n; ++i) {
            if (i >= slots) {
                if (keys[i] >= 0 && keys[i] < TypeEntry::kSharedNames) {
                    // A shared key's text and verdict, worked out the first time it is met.
                    TypeEntry::SharedName& known = type.first_names[std::size_t(keys[i])];
                    if (known.name != names[i]) {
                        if (!PyUnicode_CheckExact(names[i])) return false;
                        known.text = utf8_view(names[i]);
                        known.secret = rules_.enabled() && rules_.matches(known.text);
                        known.name = names[i];
                    }
                    texts[i] = known.text;
                    secret[i] = known.secret;
                } else {
                    if (!PyUnicode_CheckExact(names[i])) return false;
                    texts[i] = utf8_view(names[i]);
                    secret[i] = rules_.enabled() && rules_.matches(texts[i]);
                }
            }
            bytes += msgpack::str_header_size(texts[i].size()) + texts[i].size();
            if (secret[i]) {
                ++nodes;
                bytes += 1 + scrub::kMarker.size();
            } else if (!plain_measure(values[i], false, bytes, nodes)) {
                return false;
            }
        }
        if (!with_fields) bytes = 1 + head;
        // Room for the text as well; every check of the budget on the way passes when all fits.
        const std::size_t most = bytes + 5 + 3 + limit + 3;
        if ((with_fields && nodes > budget_.nodes) || out_.size() - start_ + most >= budget_.bytes) return false;
        if (with_fields) budget_.nodes -= nodes;
        TextRoom room(limit);
        TextWriter t(room.data(), limit, rules_);
        const std::size_t at = out_.size();
        out_.resize(at + most);
        std::uint8_t* p = out_.data() + at;
        *p++ = with_fields ? 0x83 : 0x82;
        std::memcpy(p, type.head.data() + 1, head);
        p += head;
        if (with_fields) {
            std::memcpy(p, "\xa6" "fields", 7);
            p[7] = std::uint8_t(0x80 | n);
            p += 8;
        }
        msgpack::Cursor c(p);
        t.put(type.text_name);
        t.put('(');
        for (int i = 0; i < n; ++i) {
            if (with_fields) {
                c.str_header(texts[i].size());
                copy_bytes(c.at(), texts[i].data(), texts[i].size());
                c = msgpack::Cursor(c.at() + texts[i].size());
            }
            if (i > 0) t.put(", ");
            t.put(texts[i]);
            t.put('=');
            if (secret[i]) {
                if (with_fields) c.str(scrub::kMarker);
                t.put(scrub::kMarker);
            } else if (with_fields) {
                plain_write(values[i], c, t);
            } else {
                plain_text(values[i], t);
            }
        }
        t.put(')');
        t.finish();
        c.constant("\xa4text");
        c.str(t.text());
        const std::size_t end = std::size_t(c.at() - out_.data());
        out_.resize(end);
        Makings makings;
        bool kept = memo;
        for (int i = 0; i < n && kept; ++i) kept = makings.add(names[i], values[i], secret[i]);
        if (kept) {
            const std::string_view written(reinterpret_cast<const char*>(out_.data() + at), end - at);
            remember(v, key, makings, Remembered{written, written.size() - t.text().size(), nodes, most});
        }
        text(t.text());
        return true;
    }

    // The text alone of what plain_write writes.
    static void plain_text(PyObject* v, TextWriter& t) {
        PyTypeObject* type = Py_TYPE(v);
        if (type == &PyUnicode_Type) {
            Py_ssize_t size;
            const char* data = utf8_and_size(v, size);
            t.text_of_str(std::string_view(data, std::size_t(size)));
        } else if (type == &PyLong_Type) {
            t.integer(static_cast<long long>(PyUnstable_Long_CompactValue(reinterpret_cast<PyLongObject*>(v))));
        } else if (type == &PyFloat_Type) {
            t.floating(PyFloat_AS_DOUBLE(v));
        } else if (v == Py_None) {
            t.put("None");
        } else if (v == Py_True) {
            t.put("True");
        } else if (v == Py_False) {
            t.put("False");
        } else {
            const bool list = type == &PyList_Type;
            const Py_ssize_t n = Py_SIZE(v);
            PyObject* const* items = list ? PySequence_Fast_ITEMS(v) : &PyTuple_GET_ITEM(v, 0);
            t.put(list ? '[' : '(');
            for (Py_ssize_t i = 0; i < n; ++i) {
                if (i > 0) t.put(", ");
                plain_text(items[i], t);
            }
            if (!list && n == 1) t.put(',');
            t.put(list ? ']' : ')');
        }
    }

    // Whether writing the value runs no Python code: a scalar written as it is (a str within
    // max_str that has UTF-8 and is no URL, an int of one machine word, a float, None, a bool),
    // or an exact list or tuple of up to 15 of them.
    bool writes_natively(PyObject* v, bool inside) const {
        PyTypeObject* type = Py_TYPE(v);
        if (type == &PyUnicode_Type) {
            if (PyUnicode_GET_LENGTH(v) > limits_.max_str) return false;
            Py_ssize_t size;
            const char* data = utf8_or_none(v, size);
            return data != nullptr && !scrub::Rules::looks_like_url(std::string_view(data, std::size_t(size)));
        }
        if (type == &PyLong_Type) return PyUnstable_Long_IsCompact(reinterpret_cast<PyLongObject*>(v));
        if (type == &PyFloat_Type || v == Py_None || v == Py_True || v == Py_False) return true;
        if (inside || (type != &PyList_Type && type != &PyTuple_Type)) return false;
        const Py_ssize_t n = Py_SIZE(v);
        if (n > 15 || n > limits_.max_items) return false;
        PyObject* const* items = type == &PyList_Type ? PySequence_Fast_ITEMS(v) : &PyTuple_GET_ITEM(v, 0);
        for (Py_ssize_t i = 0; i < n; ++i) {
            if (!writes_natively(items[i], true)) return false;
        }
        return true;
    }

    // Writes what writes_natively accepts, as value() writes it, with its text.
    void scalar_or_list(PyObject* v) {
        if (out_of_budget()) return;
        PyTypeObject* type = Py_TYPE(v);
        if (type == &PyUnicode_Type) {
            Py_ssize_t size;
            const char* data = utf8_and_size(v, size);  // known to have its UTF-8 form
            put_str(out_, data, std::size_t(size));
            text_->text_of_str(std::string_view(data, std::size_t(size)));
        } else if (type == &PyLong_Type) {
            const Py_ssize_t n = PyUnstable_Long_CompactValue(reinterpret_cast<PyLongObject*>(v));
            msgpack::write_int(out_, n);
            text_->integer(static_cast<long long>(n));
        } else if (type == &PyFloat_Type) {
            msgpack::write_f64(out_, PyFloat_AS_DOUBLE(v));
            text_->floating(PyFloat_AS_DOUBLE(v));
        } else if (v == Py_None) {
            msgpack::write_nil(out_);
            text_->put("None");
        } else if (v == Py_True || v == Py_False) {
            msgpack::put_u8(out_, v == Py_True ? 0xc3 : 0xc2);
            if (v == Py_True) text_->put("True");
            else text_->put("False");
        } else {
            const bool list = type == &PyList_Type;
            const Py_ssize_t n = Py_SIZE(v);
            PyObject* const* items = list ? PySequence_Fast_ITEMS(v) : &PyTuple_GET_ITEM(v, 0);
            msgpack::put_u8(out_, std::uint8_t(0x90 | n));
            text_->put(list ? '[' : '(');
            for (Py_ssize_t i = 0; i < n; ++i) {
                if (i > 0) text_->put(", ");
                scalar_or_list(items[i]);
            }
            if (!list && n == 1) text_->put(',');
            text_->put(list ? ']' : ')');
        }
    }

    // {"__type__": name, "text": "<name object at 0x...>"} for an object of a C type whose state
    // cannot be read, as TextWriter::address writes it.
    EncodeResult opaque(PyObject* v, const TypeEntry& type) {
        AddressText address;
        const std::string_view hex = hex_address(v, address);
        static constexpr std::string_view middle = " object at ";
        const std::size_t size = 1 + type.repr_name.size() + middle.size() + hex.size() + 1;
        if (size > std::size_t(limits_.max_repr)) return with_text_only(v, type);
        const std::size_t head = type.name_at + type.name_size - 1;
        msgpack::put_u8(out_, 0x82);
        msgpack::put_bytes(out_, type.head.data() + 1, head);
        msgpack::put_bytes(out_, "\xa4text", 5);
        const std::size_t at = out_.size() + msgpack::str_header_size(size);
        StrWriter(out_, size) << "<" << type.repr_name << middle << hex << ">";
        text(std::string_view(reinterpret_cast<const char*>(out_.data() + at), size));
        return EncodeResult::encoded;
    }

    // An object past what opaque() writes: the general way, without its own first check.
    EncodeResult with_text_only(PyObject* v, const TypeEntry& type) {
        TextRoom room(std::size_t(limits_.max_repr));
        TextWriter own(room.data(), std::size_t(limits_.max_repr), rules_);
        if (!own.object(v, type, 0)) return EncodeResult::error;
        own.finish();
        const std::size_t head = type.name_at + type.name_size - 1;
        msgpack::put_u8(out_, 0x82);
        msgpack::put_bytes(out_, type.head.data() + 1, head);
        msgpack::write_str(out_, "text");
        msgpack::write_str(out_, own.text());
        text(own.text());
        return EncodeResult::encoded;
    }

    // Whether the record's values so far leave room for another object's fields (the rest of a
    // record's objects are their texts: a parser's or a framework's objects in every frame would
    // otherwise make each record several kilobytes).
    bool fields_room() const {
        const std::uint64_t before = std::uint64_t(limits_.max_record_bytes) - std::min(budget_.bytes, std::uint64_t(limits_.max_record_bytes));
        return before + (out_.size() - start_) < std::uint64_t(limits_.max_fields_bytes);
    }
    // The room of a top-level object's text: shorter for an object with fields, which are there
    // to read or, past the record's room for them, hardly worth the bytes.
    std::size_t text_limit(bool with_fields) const {
        const std::size_t whole = std::size_t(limits_.max_repr);
        return with_fields ? std::min(whole, std::size_t(limits_.max_shown_text)) : whole;
    }

    // Whether the object's fields were written already in this walk (an object met again gets
    // its text); notes it otherwise.
    bool shown_before(PyObject* v) {
        for (int i = 0; i < shown_count_; ++i) {
            if (shown_[std::size_t(i)] == v) return true;
        }
        if (shown_count_ < int(shown_.size())) shown_[std::size_t(shown_count_++)] = v;
        return false;
    }

    // The name template of an instance attribute: the type's, by its shared key.
    const NameTemplate& name_template(const TypeEntry& type, int key, PyObject* name) {
        std::vector<NameTemplate>& names = type.shared_names;
        if (std::size_t(key) >= names.size()) names.resize(std::size_t(key) + 1);
        NameTemplate& t = names[std::size_t(key)];
        if (t.name != name) {
            const std::string_view text = PyUnicode_CheckExact(name) ? utf8_view(name) : std::string_view();
            msgpack::Buffer key_bytes;
            msgpack::write_str(key_bytes, text);
            t.key.assign(key_bytes.begin(), key_bytes.end());
            t.text_at = key_bytes.size() - text.size();
            t.name = name;
            t.rules_id = 0;
        }
        if (t.rules_id != rules_.id()) {
            t.secret = rules_.enabled() && rules_.matches(t.text());
            t.rules_id = rules_.id();
        }
        return t;
    }

    // with_fields for an instance of a Python class: its __slots__ and attributes read at once,
    // their names written from the type's templates, and nothing held while every value written
    // so far runs no Python code; from the first that may, the rest is held until written.
    EncodeResult instance_fields(PyObject* v, const TypeEntry& type, Py_ssize_t depth) {
        constexpr int kRoom = 32;
        PyObject* names[kRoom];
        PyObject* values[kRoom];
        int keys[kRoom];
        int n = 0;
        for (const SlotField& slot : type.slots) {
            PyObject* value = slot_value(v, slot.offset);
            if (value == nullptr) continue;
            if (n == kRoom) return EncodeResult::whole_value;
            names[n] = slot.name.get();
            values[n] = value;
            keys[n++] = -1;
        }
        const int read = compat::read_instance_attributes(v, names + n, values + n, keys + n, kRoom - n);
        if (read < 0) return EncodeResult::whole_value;  // too many for here: the general way
        n += read;
        if (n > limits_.max_items) return EncodeResult::whole_value;
        const std::size_t head = type.name_at + type.name_size - 1;
        {
            msgpack::RawWriter w(out_, 1 + 7);
            w.byte(0x83);
            w.finish();
            msgpack::put_bytes(out_, type.head.data() + 1, head);
        }
        if (n < 16) {
            msgpack::RawWriter w(out_, 8);
            w.constant("\xa6" "fields");
            w.byte(std::uint8_t(0x80 | n));
            w.finish();
        } else {
            msgpack::write_str(out_, "fields");
            msgpack::write_map_header(out_, std::size_t(n));
        }
        TextRoom room(text_limit(true));
        TextWriter own(room.data(), text_limit(true), rules_);
        TextWriter* const outer = text_;
        text_ = &own;
        own.put(type.text_name);
        own.put('(');
        path_[std::size_t(depth)] = v;
        const ObjectOpen open(objects_open_);
        int held = n;  // from here on the fields are held
        std::vector<Owned> holds;  // made only for a value that may run Python code
        EncodeResult r = EncodeResult::encoded;
        for (int i = 0; i < n && r == EncodeResult::encoded; ++i) {
            bool secret;
            if (keys[i] >= 0) {
                const NameTemplate& t = name_template(type, keys[i], names[i]);
                msgpack::put_bytes(out_, t.key.data(), t.key.size());
                if (i > 0) own.put(", ");
                own.put(t.text());
                secret = t.secret;
            } else {
                const std::string_view name = utf8_view(names[i]);
                put_str(out_, name.data(), name.size());
                if (i > 0) own.put(", ");
                own.put(name);
                secret = rules_.enabled() && rules_.matches(name);
            }
            own.put('=');
            if (secret) {
                r = scrubbed();
                continue;
            }
            if (held == n) {
                if (writes_natively(values[i], false)) {
                    scalar_or_list(values[i]);
                    continue;
                }
                held = i;
                holds.reserve(std::size_t(2 * (n - held)));
                for (int j = held; j < n; ++j) {
                    holds.push_back(Owned::borrow(names[j]));
                    holds.push_back(Owned::borrow(values[j]));
                }
            }
            r = value(values[i], depth + 1);
        }
        text_ = outer;
        if (r != EncodeResult::encoded) return r;
        own.put(')');
        own.finish();
        return text_entry(own.text());
    }

    // Whether the object holds a field whose name is a secret's: its repr could show it.
    bool holds_secret(PyObject* v, const TypeEntry& type) {
        if (!rules_.enabled() || !has_fields(type.kind) || type.kind == ObjectKind::number) return false;
        Fields fields;
        collect_fields(v, type, fields);
        for (std::size_t i = 0; i < fields.size(); ++i) {
            if (secret_name(fields[i].name.get())) return true;
        }
        return false;
    }

    // Writes {"__type__": name, "repr": text}. The type's entry stays valid while the repr runs
    // (entries replaced meanwhile are kept until the encoding ends).
    EncodeResult by_repr(PyObject* v, const TypeEntry& type, Py_ssize_t depth) {
        const bool slow = !slow_repr_types.empty() && slow_repr_types.count(slow_key(Py_TYPE(v))) != 0;
        if (slow) return by_address(v, type, true);
        if (holds_secret(v, type)) return with_fields(v, type, depth);
        const std::size_t start = out_.size();
        msgpack::put_bytes(out_, type.head.data(), type.head.size());
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
        Owned repr;
        {
            // The program's own code runs: no signal may cut into it, so whatever it raises is
            // its own doing (a Ctrl-C meanwhile reaches the program once the record is done).
            const compat::DeferredSignals deferred;
            const std::int64_t began = monotonic_ns();
            repr = Owned::steal(PyObject_Repr(v));
            if (monotonic_ns() - began > budget_.slow_repr_ns) slow_repr_types.insert(slow_key(Py_TYPE(v)));
        }
        if (!repr) {
            // Whatever a __repr__ raises, KeyboardInterrupt and SystemExit included, is its own
            // failure: a placeholder says what it was. Both names are built afresh (the repr
            // may have run code that renamed the class).
            Owned exc = Owned::steal(PyErr_GetRaisedException());
            std::string object_name, exc_name;
            if (!type_name(Py_TYPE(v), object_name)) object_name = "<unknown type>";
            if (!type_name(Py_TYPE(exc.get()), exc_name)) exc_name = "<unknown type>";
            PyErr_Clear();
            msgpack::write_str(out_, "<" + object_name + " object; repr failed: " + exc_name + ">");
            return EncodeResult::encoded;
        }
        return write_text(repr.get(), limits_.max_repr) ? EncodeResult::encoded : EncodeResult::error;
    }

    // A text as the host writes it: cut to `limit` characters with a note of how many were left
    // out, and lone surrogates escaped.
    bool write_text(PyObject* s, Py_ssize_t limit) {
        const Py_ssize_t n = PyUnicode_GET_LENGTH(s);
        Owned head = n > limit ? Owned::steal(PyUnicode_Substring(s, 0, limit)) : Owned::borrow(s);
        if (!head) return false;
        Py_ssize_t size;
        const char* data = utf8_or_none(head.get(), size);
        Owned escaped;
        if (data == nullptr) {
            escaped = Owned::steal(PyUnicode_AsEncodedString(head.get(), "utf-8", "backslashreplace"));
            if (!escaped) return false;
            data = PyBytes_AS_STRING(escaped.get());
            size = PyBytes_GET_SIZE(escaped.get());
        }
        if (n <= limit) {
            put_str(out_, data, std::size_t(size));
            return true;
        }
        char digits[24];
        const auto r = std::to_chars(digits, digits + sizeof digits, n - limit);
        static constexpr std::string_view tail = " more characters]";
        const std::string_view number(digits, std::size_t(r.ptr - digits));
        StrWriter(out_, std::size_t(size) + 5 + number.size() + tail.size())
            << std::string_view(data, std::size_t(size)) << "... [" << number << tail;
        return true;
    }

    // Writes the str of the pieces followed by the object's address and ">"; false, writing nothing,
    // when that text is longer than a repr is kept (the fallback cuts it).
    bool write_with_address(PyObject* v, std::string_view a, std::string_view b, std::string_view c) {
        AddressText address;
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
            if (texting()) text_->integer(v);
            return EncodeResult::encoded;
        }
        if (overflow > 0) {
            const unsigned long long u = PyLong_AsUnsignedLongLong(v);
            if (!(u == static_cast<unsigned long long>(-1) && PyErr_Occurred())) {
                msgpack::write_uint(out_, u);
                if (texting()) text_->integer(v);
                return EncodeResult::encoded;
            }
            PyErr_Clear();
        }
        return delegate(v, depth);  // beyond 64 bits
    }

    // A str written as it is; a URL with its secrets scrubbed (`url`); its text too (`shown`).
    // False, writing nothing, when it is left to the fallback: longer than max_str or without
    // UTF-8 form.
    bool str(PyObject* v, bool url, bool shown) {
        if (PyUnicode_GET_LENGTH(v) > limits_.max_str) return false;
        Py_ssize_t size;
        const char* data = utf8_or_none(v, size);
        if (data == nullptr) return false;  // lone surrogates
        const std::string_view text(data, std::size_t(size));
        if (url && scrub::Rules::looks_like_url(text)) return url_str(text, shown);
        put_str(out_, data, std::size_t(size));
        if (shown && texting()) text_->text_of_str(text);
        return true;
    }

    [[gnu::noinline]] bool url_str(std::string_view text, bool shown) {
        std::string scrubbed;
        if (rules_.scrub_url(text, scrubbed)) {
            if (Py_ssize_t(characters(scrubbed)) > limits_.max_str) return false;
            text = scrubbed;
        }
        put_str(out_, text.data(), text.size());
        if (shown && texting()) text_->text_of_str(text);
        return true;
    }

    EncodeResult container(PyObject* v, Py_ssize_t size, Py_ssize_t depth, Walk walk) {
        // Long lists, tuples and dicts are cut here; other long containers by the fallback.
        const bool cut_here = objects_ != ObjectStyle::fallback && walk != &Walker::set;
        if (depth >= limits_.max_depth) {
            return objects_ != ObjectStyle::fallback ? placeholder(v, "<nested too deeply>") : delegate(v, depth);
        }
        if (size > limits_.max_items && !cut_here) return delegate(v, depth);
        for (Py_ssize_t i = 0; i < depth; ++i) {
            if (path_[std::size_t(i)] == v) {
                return objects_ != ObjectStyle::fallback ? placeholder(v, "<recursion>") : EncodeResult::whole_value;
            }
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
        text('{');
        pos = 0;
        Py_ssize_t written = 0;
        while (written < kept && PyDict_Next(v, &pos, &key, &item)) {
            // The fallback runs Python code, which may change the dict under us: hold on to the
            // entry, and check afterwards that the map holds what its header promised.
            Owned key_ref = Owned::borrow(key);
            Owned item_ref = Owned::borrow(item);
            if (written > 0) text(", ");
            if (str_keys ? !PyUnicode_CheckExact(key) || !str(key, false, true) : !int_key(key)) return EncodeResult::whole_value;
            text(": ");
            const EncodeResult r = str_keys && secret_name(key) ? scrubbed() : value(item, depth + 1);
            if (r != EncodeResult::encoded) return r;
            ++written;
        }
        if (written != kept || PyDict_GET_SIZE(v) != n) return EncodeResult::whole_value;
        if (kept < n) {
            msgpack::write_str(out_, "...");
            write_more_items("", n - kept);
            text(", ...");
        }
        text('}');
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
        this->text(std::string_view(text, std::size_t(r.ptr - text)));
        return true;
    }

    EncodeResult list(PyObject* v, Py_ssize_t depth) {
        const Py_ssize_t n = PyList_GET_SIZE(v);
        const Py_ssize_t kept = std::min(n, limits_.max_items);
        msgpack::write_array_header(out_, std::size_t(kept < n ? kept + 1 : n));
        text('[');
        for (Py_ssize_t i = 0; i < kept; ++i) {
            if (PyList_GET_SIZE(v) != n) return EncodeResult::whole_value;
            if (i > 0) text(", ");
            Owned item = Owned::borrow(PyList_GET_ITEM(v, i));
            const EncodeResult r = value(item.get(), depth + 1);
            if (r != EncodeResult::encoded) return r;
        }
        if (PyList_GET_SIZE(v) != n) return EncodeResult::whole_value;
        if (kept < n) {
            write_more_items("... ", n - kept);
            text(", ...");
        }
        text(']');
        return EncodeResult::encoded;
    }

    EncodeResult tuple(PyObject* v, Py_ssize_t depth) {
        const Py_ssize_t n = PyTuple_GET_SIZE(v);
        const Py_ssize_t kept = std::min(n, limits_.max_items);
        msgpack::write_array_header(out_, std::size_t(kept < n ? kept + 1 : n));
        text('(');
        for (Py_ssize_t i = 0; i < kept; ++i) {
            if (i > 0) text(", ");
            const EncodeResult r = value(PyTuple_GET_ITEM(v, i), depth + 1);
            if (r != EncodeResult::encoded) return r;
        }
        if (kept < n) {
            write_more_items("... ", n - kept);
            text(", ...");
        }
        text(n == 1 ? ",)" : ")");
        return EncodeResult::encoded;
    }

    EncodeResult set(PyObject* v, Py_ssize_t depth) {
        const Py_ssize_t n = PySet_GET_SIZE(v);
        // The base type's iterator, not the object's own __iter__.
        Owned items = Owned::steal(PySet_Type.tp_iter(v));
        if (!items) return EncodeResult::error;
        msgpack::write_array_header(out_, std::size_t(n));
        const bool frozen = PyFrozenSet_Check(v);
        text(n == 0 ? (frozen ? "frozenset()" : "set()") : frozen ? "frozenset({" : "{");
        Py_ssize_t written = 0;
        while (Owned item = Owned::steal(PyIter_Next(items.get()))) {
            if (++written > n) return EncodeResult::whole_value;
            if (written > 1) text(", ");
            const EncodeResult r = value(item.get(), depth + 1);
            if (r != EncodeResult::encoded) return r;
            if (PySet_GET_SIZE(v) != n) return EncodeResult::whole_value;
        }
        if (PyErr_Occurred()) {
            if (!PyErr_ExceptionMatches(PyExc_Exception)) return EncodeResult::error;
            PyErr_Clear();  // changed while it was walked
            return EncodeResult::whole_value;
        }
        if (written != n) return EncodeResult::whole_value;
        if (n > 0) text(frozen ? "})" : "}");
        return EncodeResult::encoded;
    }

    const EncodeContext& ctx_;
    const EncoderLimits& limits_;
    ObjectStyle objects_;
    const scrub::Rules& rules_;
    ValueBudget& budget_;
    msgpack::Buffer& out_;
    const std::size_t start_;
    TextWriter* text_ = nullptr;
    // Objects whose fields were written, the first of them: none of them needs them again.
    std::array<PyObject*, 32> shown_;
    int shown_count_ = 0;
    // Objects whose fields are being written, one inside another.
    static constexpr int kObjectsWithFields = 1;
    static constexpr std::size_t kNestedText = 120;
    int objects_open_ = 0;
    struct ObjectOpen {
        explicit ObjectOpen(int& open) : open_(++open) {}
        ~ObjectOpen() { --open_; }
        int& open_;
    };
    // The containers and objects being walked, outermost first; an entry is written before any is
    // read, so the array is not cleared for each walk.
    std::array<PyObject*, 64> path_;
};

// Type entries replaced during one encoding are kept until the outermost one ends.
struct EntriesInUse {
    EntriesInUse() { entries_in_use(true); }
    ~EntriesInUse() { entries_in_use(false); }
};

// Runs one top-level walk: on anything but `encoded` the buffer and the budget are put back as
// they were; otherwise the bytes written are taken from the budget.
template <typename Walk>
EncodeResult walk_on_budget(ValueBudget& budget, msgpack::Buffer& out, Walk walk) {
    const EntriesInUse in_use;
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

void start_budget(ValueBudget& budget, const EncoderLimits& limits) {
    if (!budget.fresh) return;
    budget.fresh = false;
    budget.nodes = limits.max_nodes;
    budget.bytes = std::uint64_t(limits.max_record_bytes);
    if (budget.slow_repr_ns < 0) budget.slow_repr_ns = limits.slow_repr_ns;
}

bool append_fallback(const EncodeContext& ctx, PyObject* value, Py_ssize_t depth, ValueBudget& budget,
                     msgpack::Buffer& out) {
    Owned depth_object = Owned::steal(PyLong_FromSsize_t(depth));
    Owned nodes_object = Owned::steal(PyLong_FromLongLong(std::max<std::int64_t>(budget.nodes, 0)));
    if (!depth_object || !nodes_object) return false;
    PyObject* args[] = {value, depth_object.get(), nodes_object.get(), ctx.scrub_argument};
    Owned encoded = Owned::steal(PyObject_Vectorcall(ctx.fallback, args, ctx.scrub_argument != nullptr ? 4 : 3, nullptr));
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

EncodeResult encode_map(PyObject* const* keys, PyObject* const* values, std::size_t n, const EncodeContext& ctx,
                        ValueBudget& budget, msgpack::Buffer& out) {
    return walk_on_budget(budget, out, [&] { return Walker(ctx, budget, out).map(keys, values, n); });
}

EncodeResult encode_value(PyObject* value, const EncodeContext& ctx, ValueBudget& budget, msgpack::Buffer& out) {
    return walk_on_budget(budget, out, [&] { return Walker(ctx, budget, out).value(value, 0); });
}

EncodeResult encode_object(PyObject* value, Py_ssize_t depth, const EncodeContext& ctx, ValueBudget& budget,
                           msgpack::Buffer& out) {
    return walk_on_budget(budget, out, [&] { return Walker(ctx, budget, out).described(value, depth); });
}

bool value_text(PyObject* value, const EncodeContext& ctx, std::string& out) {
    const EntriesInUse in_use;
    TextRoom room(std::size_t(ctx.limits.max_repr));
    TextWriter writer(room.data(), std::size_t(ctx.limits.max_repr), ctx.rules);
    if (!writer.value(value)) return false;
    writer.finish();
    out.assign(writer.text());
    return true;
}

}  // namespace jarn
