#include "host_serialize.hpp"

#include <algorithm>
#include <charconv>
#include <cstddef>
#include <cstring>
#include <type_traits>

#include "../encoder/native_api.hpp"

#include "internal_error.hpp"
#include "convert.hpp"
#include "dict_watch.hpp"
#include "interned.hpp"
#include "owned.hpp"
#include "record_layout.hpp"
#include "variable_keys.hpp"

namespace jarn {

bool append_byte_sequence(PyObject* result, msgpack::Buffer& out) {
    if (PyBytes_CheckExact(result)) {
        msgpack::put_bytes(out, PyBytes_AS_STRING(result), std::size_t(PyBytes_GET_SIZE(result)));
        return true;
    }
    if (PyUnicode_Check(result)) {
        PyErr_SetString(PyExc_TypeError, "Can't extract `str` to `Vec`");
        return false;
    }
    if (!PySequence_Check(result)) {
        raise_conversion_error(result, "Sequence");
        return false;
    }
    const std::size_t start = out.size();
    Owned iterator = Owned::steal(PyObject_GetIter(result));
    if (!iterator) return false;
    while (Owned item = Owned::steal(PyIter_Next(iterator.get()))) {
        const long v = PyLong_AsLong(item.get());
        if (v == -1 && PyErr_Occurred()) {
            if (PyErr_ExceptionMatches(PyExc_OverflowError)) {
                PyErr_Clear();
                PyErr_SetString(PyExc_OverflowError, "out of range integral type conversion attempted");
            }
            out.resize(start);
            return false;
        }
        if (v < 0 || v > 255) {
            PyErr_SetString(PyExc_OverflowError, "out of range integral type conversion attempted");
            out.resize(start);
            return false;
        }
        out.push_back(std::uint8_t(v));
    }
    if (PyErr_Occurred()) {
        out.resize(start);
        return false;
    }
    return true;
}

namespace {

__attribute__((tls_model("initial-exec"))) thread_local ValueBudget* current_budget = nullptr;

}  // namespace

RecordValueBudget::RecordValueBudget(std::int64_t slow_repr_ns, const scrub::Rules& rules, PyObject* scrub_argument)
    : previous_(current_budget) {
    budget_.slow_repr_ns = slow_repr_ns;
    budget_.scrub = &rules;
    budget_.scrub_argument = scrub_argument;
    current_budget = &budget_;
}

RecordValueBudget::~RecordValueBudget() { current_budget = previous_; }

namespace {

// The encoder's native entry point, looked up the first time the host's serialiser is an Encoder
// (until then the type's name tells one apart; afterwards the type itself does).
const EncoderNativeApi* native_encoder(PyObject* function) {
    static const EncoderNativeApi* api = nullptr;
    static bool looked_up = false;
    if (!looked_up) {
        if (std::strcmp(Py_TYPE(function)->tp_name, "jarn._encoder.Encoder") != 0) return nullptr;
        looked_up = true;
        api = static_cast<const EncoderNativeApi*>(PyCapsule_Import(kEncoderCapsule, 0));
        if (api == nullptr || api->version != kEncoderApiVersion) {
            PyErr_Clear();
            api = nullptr;
        }
    }
    return api != nullptr && Py_TYPE(function) == api->type ? api : nullptr;
}

}  // namespace

namespace {

// The encoder's limits as they bear on plain values.
struct PlainRules {
    Py_ssize_t max_str;
    Py_ssize_t max_name;     // the longest name a map may have; -1 when no map is plain
    std::int64_t max_count;  // entries of a map (max_items)
    bool cuts_long_maps;     // a longer map is cut (else it is the fallback's, whole)
};

constexpr int kModes = 3;

// The host's serialisers, one per mode, held between events. Looking them up costs two dict lookups and an
// import check per value, more than encoding a small value; instead sys.modules and the host
// module's dict are watched, and the serialisers are looked up again after either changed, so a
// serialiser replaced at run time is still the one used. Without a dict watcher they are looked
// up at every call.
struct Serializers {
    std::uint64_t generation = 0;                // watched_generation() when filled
    PyObject* function[kModes] = {};  // strong; held for the process (no static destructor)
    const EncoderNativeApi* api[kModes] = {};
    // For a native encoder: its limits for plain values, and a budget as it starts one.
    PlainRules rules[kModes] = {};
    ValueBudget started[kModes] = {};
};
Serializers serializers;  // guarded by the interpreter lock

PyObject* serializer_name(int mode) {
    static PyObject* const* const by_mode[kModes] = {&names.dump_msgpack, &names.dump_msgpack_repr,
                                                     &names.dump_msgpack_lightweight_repr};
    return *by_mode[mode];
}

Owned look_up(ValuesMode mode) {
    Owned module = Owned::steal(import_module(names.mod_jarn_serialize));
    if (!module) return Owned();
    return Owned::steal(module_attribute(module.get(), serializer_name(int(mode))));
}

// Fills the cache; false (no exception) when it cannot be kept.
bool refresh() {
    Owned module = Owned::steal(import_module(names.mod_jarn_serialize));
    if (!module || !PyModule_CheckExact(module.get())) {
        PyErr_Clear();
        return false;
    }
    PyObject* dict = PyModule_GetDict(module.get());  // borrowed
    if (!watch_dict(PyImport_GetModuleDict()) || !watch_dict(dict)) return false;
    const std::uint64_t generation = watched_generation();
    for (int i = 0; i < kModes; ++i) {
        PyObject* found = PyDict_GetItemWithError(dict, serializer_name(i));
        if (found == nullptr) {
            PyErr_Clear();
            return false;  // a module-level __getattr__, perhaps: looked up every time
        }
        Owned previous = Owned::steal(serializers.function[i]);
        serializers.function[i] = Owned::borrow(found).release();
        serializers.api[i] = native_encoder(found);
        PyErr_Clear();
        if (serializers.api[i] != nullptr) {
            PlainLimits limits;
            serializers.started[i] = ValueBudget{};
            serializers.api[i]->plain_limits(found, &serializers.started[i], &limits);
            serializers.rules[i] = {limits.max_str, limits.max_depth > 0 ? limits.max_str : -1, limits.max_items,
                                    limits.cuts_long_dicts};
        }
    }
    // Releasing the previous functions may have run code that changed a watched dict.
    serializers.generation = generation == watched_generation() ? generation : 0;
    return serializers.generation != 0;
}

bool call_serializer(PyObject* function, const EncoderNativeApi* api, PyObject* value, msgpack::Buffer& out) {
    // The same bytes as calling it, written in place.
    if (api != nullptr) return api->append(function, value, current_budget, out);
    Owned result = Owned::steal(PyObject_CallOneArg(function, value));
    if (!result) return false;
    return append_byte_sequence(result.get(), out);
}

}  // namespace

bool dump_msgpack(PyObject* value, ValuesMode mode, msgpack::Buffer& out) {
    const int m = int(mode);
    if (serializers.generation == watched_generation() || refresh()) {
        // Held across the call: the serialiser may run code that replaces it.
        Owned function = Owned::borrow(serializers.function[m]);
        return call_serializer(function.get(), serializers.api[m], value, out);
    }
    Owned function = look_up(mode);
    if (!function) return false;
    return call_serializer(function.get(), native_encoder(function.get()), value, out);
}

int dump_msgpack_map(PyObject* const* keys, PyObject* const* values, std::size_t n, ValuesMode mode,
                     msgpack::Buffer& out) {
    Owned function;
    const EncoderNativeApi* api;
    if (serializers.generation == watched_generation() || refresh()) {
        function = Owned::borrow(serializers.function[int(mode)]);
        api = serializers.api[int(mode)];
    } else {
        function = look_up(mode);
        if (!function) return -1;
        api = native_encoder(function.get());
    }
    if (api == nullptr) return 0;
    return api->append_map(function.get(), keys, values, n, current_budget, out);
}

namespace {

// Where plain values are being written: room is made for 9 bytes per value (the most anything
// but a str takes), and a str makes room for the rest of its text. In a buffer (`out`), which
// then grows; or in a fixed stretch of memory up to `end`, where a str that does not fit fails.
struct Room {
    msgpack::Buffer* out;     // null: a fixed stretch
    const std::size_t start;  // where the values begin in `out`
    std::uint8_t* base;       // out->data() + start, moved when `out` grows
    std::uint8_t* limit = nullptr;  // fixed: the end of the room made so far
    std::uint8_t* end = nullptr;    // fixed: the end of the memory

    // n more bytes of room; returns where `at` is afterwards, null when there is none.
    std::uint8_t* grow(std::uint8_t* at, std::size_t n) {
        if (out == nullptr) {
            if (std::size_t(end - limit) < n) return nullptr;
            limit += n;
            return at;
        }
        const std::size_t used = std::size_t(at - base);
        out->resize(out->size() + n);
        base = out->data() + start;
        return base + used;
    }
};

// Writes a str at `at` if the encoder writes it as it is, and returns the end; null otherwise (a
// URL among them, which the encoder scrubs when `urls`).
[[gnu::noinline]] std::uint8_t* write_text(PyObject* v, std::uint8_t* at, Py_ssize_t max_str, bool urls, Room& room) {
    if (PyUnicode_GET_LENGTH(v) > max_str) return nullptr;
    Py_ssize_t size;
    const char* data = utf8_and_size(v, size);
    if (data == nullptr) {
        PyErr_Clear();  // lone surrogates: the encoder's own rules
        return nullptr;
    }
    const std::string_view text(data, std::size_t(size));
    if (urls && scrub::Rules::looks_like_url(text)) return nullptr;
    // Its header takes at most 5 of the 9 bytes made room for.
    if (text.size() > 4 && (at = room.grow(at, text.size())) == nullptr) return nullptr;
    msgpack::Cursor c(at);
    c.str(text);
    return c.at();
}

// Writes `v` at `at` if the encoder writes it as a plain value, and returns the end; null
// otherwise. The types in the order of how often a frame holds them.
[[gnu::always_inline]] inline std::uint8_t* write_value(PyObject* v, std::uint8_t* at, Py_ssize_t max_str, bool urls,
                                                       Room& room) {
    PyTypeObject* type = Py_TYPE(v);
    msgpack::Cursor c(at);
    if (type == &PyLong_Type) {
        PyLongObject* number = reinterpret_cast<PyLongObject*>(v);
        if (compat::is_one_digit_fixint(number)) {  // the commonest of all
            c.byte(std::uint8_t(compat::one_digit_fixint_value(number)));
        } else if (PyUnstable_Long_IsCompact(number)) {
            const Py_ssize_t n = PyUnstable_Long_CompactValue(number);
            if (std::size_t(n) < 256) {  // 0, and the next commonest, as c.sint writes them
                if (n >= 128) c.byte(0xcc);
                c.byte(std::uint8_t(n));
            } else if (std::size_t(n) < 65536) {
                c.byte(0xcd);
                c.byte(std::uint8_t(n >> 8));
                c.byte(std::uint8_t(n));
            } else {
                c.sint(n);
            }
        } else {
            int overflow = 0;
            const long long n = PyLong_AsLongLongAndOverflow(v, &overflow);
            if (overflow != 0) return nullptr;  // past the signed range: the encoder's own rules
            c.sint(n);
        }
    } else if (type == &PyUnicode_Type) {
        return write_text(v, at, max_str, urls, room);
    } else if (v == Py_None) {
        c.byte(0xc0);
    } else if (type == &PyBool_Type) {
        c.byte(v == Py_True ? 0xc3 : 0xc2);
    } else if (type == &PyFloat_Type) {
        c.f64(PyFloat_AS_DOUBLE(v));
    } else {
        return nullptr;
    }
    return c.at();
}

// The map of a function frame's variables at `at` (room made for keys.most bytes from there), as
// the serialiser writes the dict of them: returns its end, null when a name or value is not plain
// (or, in a fixed stretch, a str does not fit; a URL, when `urls`, is not plain). `values` is the number of values it takes from
// the budget (the cut marker's not counted).
std::uint8_t* write_variable_map(const compat::FrameVariables& frame, const VariableKeys& keys, const PlainRules& rules,
                                 bool urls, std::uint8_t* at, Room& room, std::int64_t& values) {
    // Read once: the writes below go through a byte pointer, which could alias anything.
    const int n = frame.count();
    PyObject* const* const slots = frame.slots();  // borrowed
    const VariableKeys::Entry* const entries = keys.entries.data();
    const char* const key_bytes = keys.keys.data();
    const std::size_t map_start = std::size_t(at - room.base);
    // Past the map's header, written last: a fixmap's byte, or a map 16's three when there may
    // be 16 entries or more.
    const std::size_t header = n >= 16 ? 3 : 1;
    at += header;
    std::int64_t count = 0;
    // A map of more than max_items entries is cut as the encoder cuts a dict: max_items entries,
    // then "..." and how many more there were. Past the cut, bound variables are only counted.
    const std::int64_t cut_at = rules.max_count;
    std::uint8_t* cut_end = nullptr;
    // One loop for each kind of code object: most have only plain slots and short names, and
    // their loop looks at neither. Past the cut, bound variables are only counted.
    const auto write_slots = [&](auto simple, auto cutting) {
        int i = 0;
        for (; i < n; ++i) {
            // Most slots of a large frame are unbound at its call: passed over with one look.
            if (simple) {
                while (slots[i] == nullptr) {
                    if (++i == n) return true;
                }
            }
            PyObject* v = slots[i];  // borrowed
            const VariableKeys::Entry entry = entries[i];
            if (!simple && entry.slot != VariableKeys::Slot::value) {
                if (entry.slot == VariableKeys::Slot::skipped) continue;
                // A comprehension's variable bound now goes after all others: the serialiser's.
                if (entry.slot == VariableKeys::Slot::hidden) {
                    if (v == nullptr) continue;
                    return false;
                }
                v = frame.closure_value(i);
            }
            if (v == nullptr) continue;
            if (cutting && count == cut_at) break;
            const char* key = key_bytes + entry.offset;
            if (simple || entry.size <= VariableKeys::kPadding) {
                std::memcpy(at, key, VariableKeys::kPadding);
            } else {
                std::memcpy(at, key, entry.size);
            }
            at = write_value(v, at + entry.size, rules.max_str, urls, room);
            if (at == nullptr) return false;
            ++count;
        }
        if (!cutting || i == n) return true;
        // Slot i holds the first variable past the cut.
        if (!rules.cuts_long_maps) return false;
        cut_end = at;
        at = nullptr;
        std::int64_t past = 0;
        if (simple) {
            for (; i < n; ++i) past += slots[i] != nullptr;
        } else {
            for (; i < n; ++i) {
                const VariableKeys::Slot slot = entries[i].slot;
                if (slot == VariableKeys::Slot::value) {
                    past += slots[i] != nullptr;
                } else if (slot == VariableKeys::Slot::hidden) {
                    if (slots[i] != nullptr) return false;
                } else if (slot != VariableKeys::Slot::skipped) {
                    past += frame.closure_value(i) != nullptr;
                }
            }
        }
        count += past;
        return true;
    };
    // Only a frame of more slots than max_items can need cutting.
    bool written;
    if (n <= cut_at) {
        written = keys.simple ? write_slots(std::true_type(), std::false_type())
                              : write_slots(std::false_type(), std::false_type());
    } else {
        written = keys.simple ? write_slots(std::true_type(), std::true_type())
                              : write_slots(std::false_type(), std::true_type());
    }
    if (!written) return nullptr;
    std::int64_t entries_written = count;
    if (cut_end != nullptr) {
        entries_written = cut_at + 1;
        char digits[24];
        const auto r = std::to_chars(digits, digits + sizeof digits, count - cut_at);
        const std::string_view number(digits, std::size_t(r.ptr - digits));
        constexpr std::string_view kMore = " more items";
        std::uint8_t* marker = room.grow(cut_end, 40);  // more room than the marker takes
        if (marker == nullptr) return nullptr;
        msgpack::Cursor c(marker);
        c.raw("\xa3...");
        c.str_header(number.size() + kMore.size());
        c.raw(number);
        c.raw(kMore);
        at = c.at();
    }
    std::uint8_t* const map = room.base + map_start;
    if (entries_written < 16 && header == 3) {  // fewer than made room for: a fixmap after all
        std::memmove(map + 1, map + 3, std::size_t(at - map) - 3);
        at -= 2;
    }
    if (entries_written < 16) {
        map[0] = std::uint8_t(0x80 | entries_written);
    } else {
        map[0] = 0xde;
        map[1] = std::uint8_t(entries_written >> 8);
        map[2] = std::uint8_t(entries_written);
    }
    values = std::min(count, cut_at);
    return at;
}

// Whether a variable of the code object has the name of a secret, worked out once per code
// object and rules (find_secret_name) and then read.
[[gnu::noinline]] bool find_secret_name(const VariableKeys& keys, PyCodeObject* code, const scrub::Rules& rules) {
    keys.scrub_id = rules.id();
    keys.secret_name = false;
    for (int i = 0; i < compat::variable_count(code) && !keys.secret_name; ++i) {
        Py_ssize_t size;
        const char* name = utf8_and_size(compat::variable_name(code, i), size);
        if (name == nullptr) {
            PyErr_Clear();
            continue;
        }
        keys.secret_name = rules.matches(std::string_view(name, std::size_t(size)));
    }
    return keys.secret_name;
}
inline bool holds_secret_name(const VariableKeys& keys, PyCodeObject* code, const scrub::Rules& rules) {
    return keys.scrub_id == rules.id() ? keys.secret_name : find_secret_name(keys, code, rules);
}

// Whether every frame of the code may take the short way with the serialiser of mode `m` (a native
// one) and these scrub rules, the code's names known to hold no secret's and within the encoder's
// limits: checked with its most slots, and remembered in `keys` when it may.
bool remember_short_way(const VariableKeys& keys, int m, const scrub::Rules& scrubbing) {
    const PlainRules& rules = serializers.rules[m];
    const ValueBudget& started = serializers.started[m];
    const auto most = std::int64_t(keys.entries.size());
    if (!keys.simple || most >= 16 || most > rules.max_count || most + 1 >= started.nodes ||
        keys.longest_name > rules.max_name || started.bytes == 0) {
        return false;
    }
    keys.short_stamp = serializers.generation * 4 + std::uint64_t(m);
    keys.short_scrub_id = scrubbing.id();
    keys.short_bytes = started.bytes;
    keys.short_max_str = rules.max_str;
    return true;
}

}  // namespace

int write_plain_values(PyObject* arg, const compat::FrameVariables* frame, ValuesMode mode, msgpack::Buffer& out) {
    const int m = int(mode);
    ValueBudget* const record_budget = current_budget;
    if (record_budget == nullptr) return 0;
    if (serializers.generation != watched_generation() && !refresh()) return 0;
    if (serializers.api[m] == nullptr) return 0;
    ValueBudget& budget = *record_budget;
    // As the encoder starts a budget on first use, from what it gave when it was looked up.
    if (budget.fresh) {
        const ValueBudget& started = serializers.started[m];
        budget.fresh = false;
        budget.nodes = started.nodes;
        budget.bytes = started.bytes;
        if (budget.slow_repr_ns < 0) budget.slow_repr_ns = started.slow_repr_ns;
    }
    // The encoder's checks at the start of a walk: a node left, and a byte.
    if (budget.nodes < 1 || budget.bytes == 0) return 0;
    const PlainRules rules = serializers.rules[m];
    const scrub::Rules* const scrubbing = budget.scrub;
    const bool urls = scrubbing != nullptr && scrubbing->enabled();
    const VariableKeys* keys = frame != nullptr ? variable_keys(frame->code()) : nullptr;
    if (keys != nullptr && keys->longest_name > rules.max_name) keys = nullptr;
    // A variable named as a secret: the serialiser writes the map, scrubbed. Otherwise it is told
    // that none is, should it write the map after all.
    if (keys != nullptr && urls) {
        if (holds_secret_name(*keys, frame->code(), *scrubbing)) {
            keys = nullptr;
        } else {
            budget.names_clean = true;
        }
    }
    // The next record of this code written in place may take the short way at once.
    if (keys != nullptr && scrubbing != nullptr && serializers.generation == watched_generation()) {
        remember_short_way(*keys, m, *scrubbing);
    }

    // Room for the argument, the key and every variable, made once.
    constexpr std::string_view kLocals = records::kLocalsKey;
    const std::size_t start = out.size();
    out.resize(start + 9 + kLocals.size() + 3 + (keys != nullptr ? keys->most : 0));
    Room room{&out, start, out.data() + start};
    // A call's argument is None: its byte, overwritten by any other value.
    *room.base = 0xc0;
    std::uint8_t* at = arg == Py_None ? room.base + 1 : write_value(arg, room.base, rules.max_str, urls, room);
    if (at == nullptr) {
        out.resize(start);
        return 0;
    }
    const std::uint64_t arg_size = std::uint64_t(at - room.base);
    --budget.nodes;
    budget.bytes = arg_size < budget.bytes ? budget.bytes - arg_size : 0;
    std::memcpy(at, kLocals.data(), kLocals.size() + 1);  // with the byte after it, in one move
    at += kLocals.size();
    const std::size_t map_start = std::size_t(at - room.base);
    if (keys == nullptr) {
        out.resize(start + map_start);
        return 1;
    }
    std::int64_t values = 0;
    at = write_variable_map(*frame, *keys, rules, urls, at, room, values);
    // The encoder's checks, made once: before each value it takes a node and looks at the bytes
    // written so far. A map that ends within the budget passed every check on the way.
    if (at == nullptr || values >= budget.nodes || std::size_t(at - room.base) - map_start > budget.bytes) {
        out.resize(start + map_start);
        return 1;
    }
    const std::uint64_t size = std::size_t(at - room.base) - map_start;
    out.resize(std::size_t(at - out.data()));
    budget.nodes -= values + 1;
    budget.bytes -= size;
    return 2;
}

namespace {

// What write_plain_values_at does on the short way: the argument, the key "locals" and the
// variables of a frame whose every slot is a plain variable with a short name, too few for a map
// 16 or a cut, and too few bytes in all to reach the budget's limits. Nothing is looked at that
// cannot happen in it.
//
// In three parts, so that the commonest record, of None or small ints alone, is written by a
// routine that calls nothing and keeps everything in registers: that one hands a value of any
// other kind to write_variables_from, and an argument of any other kind to
// write_short_way_generally.

// The variables from slot `from` on, as write_value writes each, `at` past those before it;
// `written` of them, whose map's header byte is at `map`; `limit` the end of the room made so far
// (see Room).
[[gnu::noinline]] std::uint8_t* write_variables_from(const compat::FrameVariables& frame, const VariableKeys& keys,
                                                     bool urls, std::uint8_t* limit, std::uint8_t* end,
                                                     std::uint8_t* map, std::uint8_t* at, int from, int written) {
    const Py_ssize_t max_str = keys.short_max_str;
    Room room{nullptr, 0, at, limit, end};
    PyObject* const* const slots = frame.slots();  // borrowed
    const VariableKeys::ShortKey* const short_keys = keys.short_keys.data();
    for (int i = from; i < frame.count(); ++i) {
        PyObject* v = slots[i];  // borrowed
        if (v == nullptr) continue;
        ++written;
        std::memcpy(at, short_keys[i].bytes, VariableKeys::kPadding);
        at = write_value(v, at + short_keys[i].size, max_str, urls, room);
        if (at == nullptr) return nullptr;
    }
    *map = std::uint8_t(0x80 | written);
    return at;
}

// The short way for an argument that is neither None nor a small int.
[[gnu::noinline]] std::uint8_t* write_short_way_generally(const compat::FrameVariables& frame,
                                                          const VariableKeys& keys, const scrub::Rules& scrubbing,
                                                          std::uint8_t* at, std::uint8_t* end, PyObject* arg) {
    constexpr std::string_view kLocals = records::kLocalsKey;
    const bool urls = scrubbing.enabled();
    Room room{nullptr, 0, at, at + 9 + kLocals.size() + 3 + keys.most, end};
    at = write_value(arg, at, keys.short_max_str, urls, room);
    if (at == nullptr) return nullptr;
    std::memcpy(at, kLocals.data(), kLocals.size() + 1);  // with the byte after it, in one move
    at += kLocals.size();
    return write_variables_from(frame, keys, urls, room.limit, end, at, at + 1, 0, 0);
}

// The variables of write_short_way from the one at `offset` (from the slots' end) on, `at` past
// those before it, `unbound` of which were unbound; `first` where its record's argument, of one
// byte, is.
[[gnu::noinline]] std::uint8_t* resume_short_way(const compat::FrameVariables& frame, const VariableKeys& keys,
                                                 const scrub::Rules& scrubbing, std::uint8_t* first, std::uint8_t* end,
                                                 std::uint8_t* at, std::ptrdiff_t offset, int unbound) {
    constexpr std::string_view kLocals = records::kLocalsKey;
    const bool urls = scrubbing.enabled();
    const int from = frame.count() + int(offset / std::ptrdiff_t(sizeof(PyObject*)));
    return write_variables_from(frame, keys, urls, first + 9 + kLocals.size() + 3 + keys.most, end,
                                first + 1 + kLocals.size(), at, from, from - unbound);
}

// Whether the value is an int of 1 to 127 held as one positive digit, the commonest value of
// all: then that digit is its MessagePack positive fixint. Any other int (0 among them) is
// write_value's.
inline bool is_one_digit_fixint(PyObject* v) {
    return Py_IS_TYPE(v, &PyLong_Type) && compat::is_one_digit_fixint(reinterpret_cast<PyLongObject*>(v));
}

// Its arguments in the order of the other two's, which it hands them on to.
[[gnu::noinline]] std::uint8_t* write_short_way(const compat::FrameVariables& frame, const VariableKeys& keys,
                                                const scrub::Rules& scrubbing, std::uint8_t* at, std::uint8_t* end,
                                                PyObject* arg) {
    constexpr std::string_view kLocals = records::kLocalsKey;
    std::uint8_t* const first = at;
    if (arg == Py_None) {
        *at = 0xc0;
    } else if (is_one_digit_fixint(arg)) [[likely]] {
        *at = std::uint8_t(compat::one_digit_fixint_value(reinterpret_cast<PyLongObject*>(arg)));
    } else {
        return write_short_way_generally(frame, keys, scrubbing, at, end, arg);
    }
    ++at;
    std::memcpy(at, kLocals.data(), kLocals.size() + 1);  // with the byte after it, in one move
    at += kLocals.size();
    ++at;  // the map's header, written last
    // Walked by one offset from the ends, slot and key side by side (a key takes the room of
    // four slots): the fewer values live in the loop, the fewer registers it needs.
    using ShortKey = VariableKeys::ShortKey;
    static_assert(sizeof(ShortKey) == 4 * sizeof(PyObject*));
    const int n = frame.count();
    const char* const slots_end = reinterpret_cast<const char*>(frame.slots() + n);  // borrowed
    const char* keys_end = reinterpret_cast<const char*>(keys.short_keys.data() + n);
    // Kept as one pointer: left to itself, the compiler adds the vector's start to the offset
    // afresh in every turn of the loop.
    asm("" : "+r"(keys_end));
    int unbound = 0;
    for (std::ptrdiff_t offset = -std::ptrdiff_t(n) * std::ptrdiff_t(sizeof(PyObject*)); offset != 0;
         offset += sizeof(PyObject*)) {
        PyObject* v;  // borrowed
        std::memcpy(&v, slots_end + offset, sizeof v);
        if (v == nullptr) {
            ++unbound;
            continue;
        }
        if (!is_one_digit_fixint(v)) [[unlikely]] return resume_short_way(frame, keys, scrubbing, first, end, at, offset, unbound);
        const char* const key = keys_end + 4 * offset;
        std::memcpy(at, key, VariableKeys::kPadding);
        at += std::uint8_t(key[offsetof(ShortKey, size)]);
        *at++ = std::uint8_t(compat::one_digit_fixint_value(reinterpret_cast<PyLongObject*>(v)));
    }
    first[1 + kLocals.size()] = std::uint8_t(0x80 | (frame.count() - unbound));
    return at;
}

// The checks of the short way that depend on the code object, the serialiser of mode `m` and the
// scrub rules alone, made at the first record of each and remembered in `keys`; and the other
// way, for a frame that cannot take the short one.
[[gnu::noinline]] std::uint8_t* write_plain_values_slowly(PyObject* arg, const compat::FrameVariables& frame,
                                                          const VariableKeys& keys, int m,
                                                          const scrub::Rules& scrubbing, std::uint8_t* at,
                                                          std::uint8_t* end) {
    if (serializers.api[m] == nullptr) return nullptr;
    const PlainRules& rules = serializers.rules[m];
    // As write_plain_values: a variable named as a secret leaves the map to the serialiser.
    const bool urls = scrubbing.enabled();
    if (urls && holds_secret_name(keys, frame.code(), scrubbing)) return nullptr;
    // A budget as the encoder starts one: the argument takes a node and its bytes, the map a
    // node and its bytes, each of its values a node.
    const ValueBudget& started = serializers.started[m];
    constexpr std::string_view kLocals = records::kLocalsKey;
    std::uint8_t* const first = at;
    Room room{nullptr, 0, first, first + 9 + kLocals.size() + 3 + keys.most, end};
    if (room.limit > end || keys.longest_name > rules.max_name || started.nodes < 2 || started.bytes == 0) return nullptr;
    if (remember_short_way(keys, m, scrubbing) && std::uint64_t(end - first) < started.bytes) {
        return write_short_way(frame, keys, scrubbing, at, end, arg);
    }
    *at = 0xc0;  // a call's argument, None; overwritten by any other value
    at = arg == Py_None ? at + 1 : write_value(arg, at, rules.max_str, urls, room);
    if (at == nullptr) return nullptr;
    const std::uint64_t arg_size = std::uint64_t(at - first);
    std::memcpy(at, kLocals.data(), kLocals.size() + 1);  // with the byte after it, in one move
    at += kLocals.size();
    std::uint8_t* const map = at;
    std::int64_t values = 0;
    at = write_variable_map(frame, keys, rules, urls, at, room, values);
    const std::uint64_t bytes = arg_size < started.bytes ? started.bytes - arg_size : 0;
    if (at == nullptr || values >= started.nodes - 1 || std::uint64_t(at - map) > bytes) return nullptr;
    return at;
}

}  // namespace

std::uint8_t* write_plain_values_at(PyObject* arg, const compat::FrameVariables& frame, const VariableKeys& keys,
                                    ValuesMode mode, const scrub::Rules& scrubbing, std::uint8_t* at, std::uint8_t* end) {
    const int m = int(mode);
    // The stamp was made while the serialisers were those of its generation: while the watched
    // dicts are still of it, they have not been looked up again since.
    const std::uint64_t generation = watched_generation();
    if (keys.short_stamp == generation * 4 + std::uint64_t(m) && keys.short_scrub_id == scrubbing.id() &&
        std::uint64_t(end - at) < keys.short_bytes) [[likely]] {
        return write_short_way(frame, keys, scrubbing, at, end, arg);
    }
    if (serializers.generation != generation) return nullptr;
    return write_plain_values_slowly(arg, frame, keys, m, scrubbing, at, end);
}

}  // namespace jarn
