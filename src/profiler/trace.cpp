#include "trace.hpp"

#include "monitoring.hpp"

#include <cmath>
#include <cstring>
#include <limits>
#include <memory>
#include <string>
#include <utility>

#include "../index/read.hpp"

#include "../utils/internal_error.hpp"
#include "../utils/convert.hpp"
#include "../utils/interned.hpp"
#include "../utils/msgpack.hpp"
#include "../utils/record_layout.hpp"

namespace jarn {
namespace {

struct TraceMetadata {
    std::vector<std::string> argv;
    std::optional<std::string> commit;
    std::string version;
};

bool read_metadata(TraceMetadata& meta) {
    Owned version_module = Owned::steal(import_module(names.mod_jarn_version));
    if (!version_module) return false;
    Owned version = Owned::steal(PyObject_GetAttr(version_module.get(), names.__version__));
    std::string_view text;
    if (!version || !utf8_of(version.get(), text)) return false;
    meta.version.assign(text);

    Owned git = Owned::steal(import_module(names.mod_jarn_git));
    if (!git) return false;
    Owned commit = Owned::steal(PyObject_GetAttr(git.get(), names.COMMIT_SHA));
    if (!commit) return false;
    if (commit.get() != Py_None) {
        if (!utf8_of(commit.get(), text)) return false;
        meta.commit.emplace(text);
    }

    Owned sys = Owned::steal(import_module(names.mod_sys));
    if (!sys) return false;
    Owned argv = Owned::steal(PyObject_GetAttr(sys.get(), names.argv));
    if (!argv) return false;
    return extract_string_list(argv.get(), meta.argv);
}

// What a build took out of the buffers, until the trace is safely handed over.
struct TakenRecords {
    RecordList main;
    std::unordered_map<std::uint64_t, RecordList> threads;
    TraceLimit limit;
    RecordList closing;  // the "truncated" record, when records were dropped
};

}  // namespace

struct HandedOver {
    PyObject* trace;  // borrowed, for the length of the host's call
    const TakenRecords* taken;
    const TraceMetadata* meta;
    std::string_view source;
};

namespace {

msgpack::Buffer truncated_record(const TraceLimit& limit, std::uint64_t limit_bytes) {
    msgpack::Buffer b;
    records::write_truncated(b, limit.reached_at, limit.records_dropped, limit.bytes_dropped, limit_bytes);
    return b;
}

TakenRecords take_records(ProfilerState& p) {
    TakenRecords taken{std::move(p.frames_of_interest), std::move(p.frames), p.limit, {}};
    p.frames_of_interest = RecordList();
    p.frames.clear();
    ++p.lists_generation;
    p.limit = TraceLimit();
    if (taken.limit.records_dropped != 0) {
        const records::Note note{};
        taken.closing.append(truncated_record(taken.limit, p.max_trace_bytes), p.record_notes ? &note : nullptr);
    }
    return taken;
}

// Records added while the host ran belong after the ones it failed to store; what was dropped
// before stays counted.
void restore_records(ProfilerState& p, TakenRecords&& taken) {
    p.frames_of_interest.prepend(std::move(taken.main));
    for (auto& [thread_id, records] : taken.threads) p.frames[thread_id].prepend(std::move(records));
    TraceLimit& limit = p.limit;
    limit.kept_bytes += taken.limit.kept_bytes;
    limit.kept_records += taken.limit.kept_records;
    if (taken.limit.records_dropped != 0) {
        limit.reached_at = taken.limit.reached_at;
        limit.records_dropped += taken.limit.records_dropped;
        limit.bytes_dropped += taken.limit.bytes_dropped;
    }
}

// Everything but the records is small: it is written first, with the places where record lists
// belong noted. The trace is then this head with the lists spliced in.
struct TracePlan {
    struct Splice {
        std::size_t at;
        const RecordList* records;
    };
    msgpack::Buffer head;
    std::vector<Splice> splices;
    std::size_t total = 0;
};

// A list's notes as the trace holds them: their times from the own clock's ticks into nanoseconds.
void put_notes(msgpack::Buffer& b, std::string_view notes, double ns_per_tick) {
    const std::size_t at = b.size();
    msgpack::put_bytes(b, notes.data(), notes.size());
    if (ns_per_tick == 1.0) return;
    for (std::size_t i = at; i + records::kNoteSize <= b.size(); i += records::kNoteSize) {
        std::uint64_t ticks = 0;
        for (int k = 7; k >= 0; --k) ticks = (ticks << 8) | b[i + std::size_t(k)];
        const auto ns = std::uint64_t(double(ticks) * ns_per_tick + 0.5);
        for (int k = 0; k < 8; ++k) b[i + std::size_t(k)] = std::uint8_t(ns >> (8 * k));
    }
}

// "record_notes": {"version": 1, "frames_of_interest": bin, "frames": {thread id: bin}}, each
// bin the notes of the records of that list, in order.
void write_notes(msgpack::Buffer& b, const TakenRecords& taken, double ns_per_tick) {
    const auto notes = [&b, ns_per_tick](std::initializer_list<const RecordList*> lists) {
        std::size_t n = 0;
        for (const RecordList* list : lists) n += list->notes().size();
        msgpack::write_bin_header(b, n);
        for (const RecordList* list : lists) put_notes(b, list->notes(), ns_per_tick);
    };
    msgpack::write_str(b, "record_notes");
    msgpack::write_map_header(b, 3);
    msgpack::write_int_pair(b, "version", 1);
    msgpack::write_str(b, "frames_of_interest");
    notes({&taken.main, &taken.closing});
    msgpack::write_str(b, "frames");
    msgpack::write_map_header(b, taken.threads.size());
    for (const auto& [thread_id, records] : taken.threads) {
        msgpack::write_uint(b, thread_id);
        notes({&records});
    }
}

void plan_trace(const ProfilerState& p, const TraceMetadata& meta, const TakenRecords& taken, TracePlan& plan) {
    auto& splices = plan.splices;
    splices.reserve(taken.threads.size() + 2);
    msgpack::Buffer& b = plan.head;
    b.reserve(512 + p.source.size() + meta.version.size() + 16 * taken.threads.size());
    // The eight entries of the trace, then the records' notes (record_layout.hpp), which a reader
    // that does not know them skips.
    msgpack::write_map_header(b, p.record_notes ? 9 : 8);
    msgpack::write_str(b, "command_line_args");
    msgpack::write_array_header(b, meta.argv.size());
    for (const std::string& arg : meta.argv) msgpack::write_str(b, arg);
    msgpack::write_str_pair(b, "current_commit_sha",
                            meta.commit ? std::optional<std::string_view>(*meta.commit) : std::nullopt);
    msgpack::write_str(b, "frames");
    msgpack::write_map_header(b, taken.threads.size());
    for (const auto& [thread_id, records] : taken.threads) {
        msgpack::write_uint(b, thread_id);
        msgpack::write_array_header(b, records.count());
        splices.push_back({b.size(), &records});
    }
    msgpack::write_str(b, "frames_of_interest");
    msgpack::write_array_header(b, taken.main.count() + taken.closing.count());
    splices.push_back({b.size(), &taken.main});
    splices.push_back({b.size(), &taken.closing});
    msgpack::write_int_pair(b, "main_thread_id", p.main_thread_id);
    msgpack::write_str(b, "meta");
    msgpack::write_map_header(b, 3);
    msgpack::write_str_pair(b, "version", meta.version);
    msgpack::write_str_pair(b, "source", p.source);
    msgpack::write_str(b, "use_frame_boundaries");
    msgpack::write_true(b);
    msgpack::write_f64_pair(b, p.start_timestamp);
    msgpack::write_str_pair(b, "trace_id", p.trace_id);
    if (p.record_notes) write_notes(b, taken, own_clock::ns_per_tick(p.clock_start, own_clock::reading()));
    plan.total = b.size();
    for (const auto& s : splices) plan.total += s.records->byte_size();
}

// The whole trace copied once, straight into the bytes object.
PyObject* write_trace(const TracePlan& plan) {
    PyObject* trace = PyBytes_FromStringAndSize(nullptr, Py_ssize_t(plan.total));
    if (trace == nullptr) return nullptr;
    auto* out = reinterpret_cast<std::uint8_t*>(PyBytes_AS_STRING(trace));
    std::size_t written = 0;
    for (const auto& s : plan.splices) {
        std::memcpy(out, plan.head.data() + written, s.at - written);
        out = s.records->copy_records(out + (s.at - written));
        written = s.at;
    }
    std::memcpy(out, plan.head.data() + written, plan.head.size() - written);
    return trace;
}

// What a new trace does once the old one's records are taken: the places switched off past the
// old one's memory limit are switched on again.
void begin_next_trace(ProfilerObject* self, const TakenRecords& taken) {
    if (taken.limit.places_switched_off) resume_after_limit(reinterpret_cast<PyObject*>(self));
}

PyObject* build_taking(ProfilerObject* self, TakenRecords& taken, TraceMetadata& meta) {
    ProfilerState& p = *self->state;
    // Host lookups first: when one fails, nothing has left the buffers yet.
    if (!read_metadata(meta)) return nullptr;
    taken = take_records(p);
    TracePlan plan;
    plan_trace(p, meta, taken, plan);
    PyObject* trace = write_trace(plan);
    if (trace == nullptr) {
        restore_records(p, std::move(taken));
        return raise_internal_error("the trace's bytes object can be created");
    }
    return trace;
}

}  // namespace

PyObject* build_trace_inner(ProfilerObject* self) {
    TakenRecords taken;
    TraceMetadata meta;
    PyObject* trace = build_taking(self, taken, meta);
    if (trace != nullptr) begin_next_trace(self, taken);
    return trace;
}

bool save_in_db(ProfilerObject* self) {
    // The host may drop the last other reference to the profiler while it runs.
    Owned keep_alive = Owned::borrow(reinterpret_cast<PyObject*>(self));
    ProfilerState& p = *self->state;
    Owned kwargs = Owned::steal(PyDict_New());
    if (!kwargs) return raise_internal_error("called `Result::unwrap()` on an `Err` value"), false;
    Owned timeout = Owned::steal(PyLong_FromUnsignedLongLong(p.sqlite_busy_timeout));
    if (!timeout || PyDict_SetItem(kwargs.get(), names.timeout, timeout.get()) < 0) {
        return raise_internal_error("called `Result::unwrap()` on an `Err` value"), false;
    }
    TakenRecords taken;
    TraceMetadata meta;
    Owned trace = Owned::steal(build_taking(self, taken, meta));
    if (!trace) return false;
    begin_next_trace(self, taken);
    if (PyDict_SetItem(kwargs.get(), names.msgpack, trace.get()) < 0) {
        restore_records(p, std::move(taken));
        return raise_internal_error("called `Result::unwrap()` on an `Err` value"), false;
    }
    Owned db_path = Owned::steal(PyUnicode_FromStringAndSize(p.db_path.data(), Py_ssize_t(p.db_path.size())));
    Owned trace_id = Owned::steal(PyUnicode_FromStringAndSize(p.trace_id.data(), Py_ssize_t(p.trace_id.size())));
    Owned args;
    if (db_path && trace_id) args = Owned::steal(PyTuple_Pack(2, db_path.get(), trace_id.get()));
    Owned db = args ? Owned::steal(import_module(names.mod_jarn_db)) : Owned();
    Owned save = db ? Owned::steal(PyObject_GetAttr(db.get(), names.save_trace_in_sqlite)) : Owned();
    Owned result;
    if (save) {
        const HandedOver handed{trace.get(), &taken, &meta, p.source};
        const HandedOver* outer = std::exchange(p.handed_over, &handed);
        result = Owned::steal(PyObject_Call(save.get(), args.get(), kwargs.get()));
        p.handed_over = outer;
    }
    if (!result) {
        restore_records(p, std::move(taken));
        return false;
    }
    return true;
}

namespace {

// Everything a TracePieces object holds: the taken records, the plan, and how far it has got.
struct TraceParts {
    TakenRecords taken;
    TracePlan plan;
    TraceMetadata meta;
    std::string trace_id;
    std::string source;
    std::size_t splice = 0;  // the splice whose head part or records come next
    std::size_t chunk = 0;   // the next chunk of that splice's records
    std::size_t head_at = 0;  // bytes of the head handed out so far
};

struct PiecesObject {
    PyObject_HEAD
    PyObject* profiler;  // owned; null once the records are stored or given back
    TraceParts* parts;   // owned, likewise
};

PiecesObject* as_pieces(PyObject* self) { return reinterpret_cast<PiecesObject*>(self); }

// Ends the object's hold on the records: given back to the profiler, or freed.
void settle(PiecesObject* self, bool give_back) {
    TraceParts* parts = self->parts;
    Owned profiler = Owned::steal(self->profiler);
    self->parts = nullptr;
    self->profiler = nullptr;
    if (parts != nullptr && give_back && profiler) {
        restore_records(*reinterpret_cast<ProfilerObject*>(profiler.get())->state, std::move(parts->taken));
    }
    delete parts;
}

PyObject* bytes_of(std::string_view piece) { return PyBytes_FromStringAndSize(piece.data(), Py_ssize_t(piece.size())); }

PyObject* pieces_next(PyObject* self) {
    TraceParts* parts = as_pieces(self)->parts;
    if (parts == nullptr) return nullptr;
    const TracePlan& plan = parts->plan;
    const std::string_view head(reinterpret_cast<const char*>(plan.head.data()), plan.head.size());
    while (parts->splice < plan.splices.size()) {
        const TracePlan::Splice& s = plan.splices[parts->splice];
        if (parts->head_at < s.at) {
            const std::size_t from = parts->head_at;
            parts->head_at = s.at;
            return bytes_of(head.substr(from, s.at - from));
        }
        if (parts->chunk < s.records->chunk_count()) {
            const std::string_view piece = s.records->chunk(parts->chunk++);
            if (!piece.empty()) return bytes_of(piece);
            continue;
        }
        ++parts->splice;
        parts->chunk = 0;
    }
    if (parts->head_at < head.size()) {
        const std::size_t from = parts->head_at;
        parts->head_at = head.size();
        return bytes_of(head.substr(from));
    }
    return nullptr;  // exhausted: StopIteration
}

PyObject* pieces_commit(PyObject* self, PyObject*) {
    settle(as_pieces(self), false);
    Py_RETURN_NONE;
}

PyObject* pieces_restore(PyObject* self, PyObject*) {
    settle(as_pieces(self), true);
    Py_RETURN_NONE;
}

Py_ssize_t pieces_len(PyObject* self) {
    const TraceParts* parts = as_pieces(self)->parts;
    return parts != nullptr ? Py_ssize_t(parts->plan.total) : 0;
}

PyObject* pieces_get_trace_id(PyObject* self, void*) {
    const TraceParts* parts = as_pieces(self)->parts;
    const std::string_view id = parts != nullptr ? std::string_view(parts->trace_id) : std::string_view();
    return PyUnicode_FromStringAndSize(id.data(), Py_ssize_t(id.size()));
}

// The "timestamp" of the record (a map) at the cursor's place, NaN when it has none or does
// not read; the cursor is left past the record (or where it stopped reading).
double record_timestamp(index::Cursor c) {
    constexpr double none = std::numeric_limits<double>::quiet_NaN();
    std::uint32_t entries;
    if (c.map_header(entries) != index::Need::ok) return none;
    for (std::uint32_t i = 0; i < entries; ++i) {
        std::string_view key;
        if (!c.is_str()) {
            if (c.skip() != index::Need::ok || c.skip() != index::Need::ok) return none;
            continue;
        }
        if (c.str(key) != index::Need::ok) return none;
        if (key != "timestamp") {
            if (c.skip() != index::Need::ok) return none;
            continue;
        }
        double at;
        bool is_number;
        if (c.number(at, is_number) != index::Need::ok || !is_number) return none;
        return at;
    }
    return none;
}

// The first and last records of a list (NaN for one it has not), as the store's scan reads them.
struct Ends {
    double first = std::numeric_limits<double>::quiet_NaN();
    double last = std::numeric_limits<double>::quiet_NaN();
};

Ends list_ends(std::initializer_list<const RecordList*> lists) {
    Ends ends;
    std::string_view first_chunk;
    std::string_view last_chunk;
    for (const RecordList* list : lists) {
        for (std::size_t i = 0; i < list->chunk_count(); ++i) {
            const std::string_view chunk = list->chunk(i);
            if (chunk.empty()) continue;
            if (first_chunk.empty()) first_chunk = chunk;
            last_chunk = chunk;
        }
    }
    if (first_chunk.empty()) return ends;
    const auto bytes = [](std::string_view chunk, bool end) {
        return reinterpret_cast<const std::uint8_t*>(chunk.data()) + (end ? chunk.size() : 0);
    };
    ends.first = record_timestamp(index::Cursor(bytes(first_chunk, false), bytes(first_chunk, true)));
    // A record never spans two chunks: the last one begins in the last chunk that has any.
    index::Cursor walk(bytes(last_chunk, false), bytes(last_chunk, true));
    const std::uint8_t* last = walk.at();
    while (walk.left() != 0) {
        last = walk.at();
        if (walk.skip() != index::Need::ok) return ends;
    }
    ends.last = record_timestamp(index::Cursor(last, bytes(last_chunk, true)));
    return ends;
}

// (first, last): the earliest and latest timestamps of the first and last records of the
// trace's lists, None when it has no record with one; what the store keeps as its duration.
PyObject* pieces_get_times(PyObject* self, void*) {
    const TraceParts* parts = as_pieces(self)->parts;
    if (parts == nullptr) {
        PyErr_SetString(PyExc_ValueError, "the trace pieces were already stored or given back");
        return nullptr;
    }
    double low = std::numeric_limits<double>::infinity();
    double high = -low;
    const auto add = [&](const Ends& e) {
        for (const double at : {e.first, e.last}) {
            if (std::isnan(at)) continue;
            low = std::min(low, at);
            high = std::max(high, at);
        }
    };
    add(list_ends({&parts->taken.main, &parts->taken.closing}));
    for (const auto& [thread_id, records] : parts->taken.threads) add(list_ends({&records}));
    if (low > high) return Py_BuildValue("(OO)", Py_None, Py_None);
    return Py_BuildValue("(dd)", low, high);
}

// The whole trace as one bytes object: what iterating gives, joined, in one copy.
PyObject* pieces_bytes(PyObject* self, PyObject*) {
    const TraceParts* parts = as_pieces(self)->parts;
    if (parts == nullptr) {
        PyErr_SetString(PyExc_ValueError, "the trace pieces were already stored or given back");
        return nullptr;
    }
    return write_trace(parts->plan);
}

// (command line, source, record count, records of other threads): what the store lists.
PyObject* pieces_get_summary(PyObject* self, void*) {
    const TraceParts* parts = as_pieces(self)->parts;
    if (parts == nullptr) {
        PyErr_SetString(PyExc_ValueError, "the trace pieces were already stored or given back");
        return nullptr;
    }
    Owned argv = Owned::steal(PyList_New(Py_ssize_t(parts->meta.argv.size())));
    if (!argv) return nullptr;
    for (std::size_t i = 0; i < parts->meta.argv.size(); ++i) {
        const std::string& arg = parts->meta.argv[i];
        PyObject* text = PyUnicode_DecodeUTF8(arg.data(), Py_ssize_t(arg.size()), "surrogateescape");
        if (text == nullptr) return nullptr;
        PyList_SET_ITEM(argv.get(), Py_ssize_t(i), text);
    }
    std::size_t others = 0;
    for (const auto& [thread_id, records] : parts->taken.threads) others += records.count();
    const std::size_t all = others + parts->taken.main.count() + parts->taken.closing.count();
    Owned source = Owned::steal(PyUnicode_DecodeUTF8(parts->source.data(), Py_ssize_t(parts->source.size()), "surrogateescape"));
    if (!source) return nullptr;
    return Py_BuildValue("(OOnn)", argv.get(), source.get(), Py_ssize_t(all), Py_ssize_t(others));
}

void pieces_dealloc(PyObject* self) {
    PyTypeObject* type = Py_TYPE(self);
    settle(as_pieces(self), true);
    type->tp_free(self);
    Owned::steal(reinterpret_cast<PyObject*>(type));  // instances of a heap type own a reference to it
}

PyMethodDef pieces_methods[] = {
    {"commit", pieces_commit, METH_NOARGS,
     "commit($self)\n--\n\nThe trace is stored: its records are freed. Iteration ends."},
    {"__bytes__", pieces_bytes, METH_NOARGS, "__bytes__($self)\n--\n\nThe whole trace in one bytes object."},
    {"restore", pieces_restore, METH_NOARGS,
     "restore($self)\n--\n\nThe trace was not stored: its records go back in front of the profiler's buffers."},
    {nullptr, nullptr, 0, nullptr},
};

PyGetSetDef pieces_getset[] = {
    {"trace_id", pieces_get_trace_id, nullptr, "The trace's identifier.", nullptr},
    {"summary", pieces_get_summary, nullptr, "(command_line, source, record_count, other_threads_record_count)",
     nullptr},
    {"times", pieces_get_times, nullptr,
     "(first, last): the earliest and latest timestamps of the first and last records of its lists "
     "(None, None without any)",
     nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyType_Slot pieces_slots[] = {
    {Py_tp_dealloc, reinterpret_cast<void*>(pieces_dealloc)},
    {Py_tp_iter, reinterpret_cast<void*>(PyObject_SelfIter)},
    {Py_tp_iternext, reinterpret_cast<void*>(pieces_next)},
    {Py_sq_length, reinterpret_cast<void*>(pieces_len)},
    {Py_tp_methods, pieces_methods},
    {Py_tp_getset, pieces_getset},
    {Py_tp_doc, const_cast<char*>("The trace as an iterable of bytes pieces (len() is the whole trace's size).")},
    {0, nullptr},
};

PyType_Spec pieces_spec = {
    "jarn._jarn.TracePieces", sizeof(PiecesObject), 0, Py_TPFLAGS_DEFAULT | Py_TPFLAGS_DISALLOW_INSTANTIATION,
    pieces_slots,
};

PyTypeObject* pieces_type = nullptr;  // one per process, like the profiler's type

}  // namespace

PyObject* take_trace_pieces(ProfilerObject* self) {
    if (pieces_type == nullptr) {
        pieces_type = reinterpret_cast<PyTypeObject*>(PyType_FromSpec(&pieces_spec));
        if (pieces_type == nullptr) return nullptr;
    }
    ProfilerState& p = *self->state;
    auto parts = std::make_unique<TraceParts>();
    if (!read_metadata(parts->meta)) return nullptr;
    Owned object = Owned::steal(pieces_type->tp_alloc(pieces_type, 0));
    if (!object) return nullptr;
    parts->taken = take_records(p);
    begin_next_trace(self, parts->taken);
    plan_trace(p, parts->meta, parts->taken, parts->plan);
    parts->trace_id = p.trace_id;
    parts->source = p.source;
    as_pieces(object.get())->parts = parts.release();
    as_pieces(object.get())->profiler = Owned::borrow(reinterpret_cast<PyObject*>(self)).release();
    return object.release();
}

}  // namespace jarn

namespace jarn {
namespace {

// What the store's scan of a trace's lists reads (jarn/trace/reader.py's `_Scan`), found in the
// records themselves: each list's first and last records are decoded, and while a test is
// looked for every record until one starts it; the earliest and latest timestamps of those
// decoded, the first test's id, the parent trace of a list that begins with a "process" record.
struct ListScan {
    bool looking;  // the trace holds a "start_test" text, and no test has been found yet
    std::string test_id;
    std::string parent_trace_id;
    double first = std::numeric_limits<double>::quiet_NaN();
    double last = std::numeric_limits<double>::quiet_NaN();

    void record(index::Cursor c, bool first_of_list) {
        std::uint32_t entries;
        if (c.map_header(entries) != index::Need::ok) return;
        std::string_view type;
        std::string_view test;
        std::string_view parent;
        double at = 0;
        bool timed = false;
        // A text entry reads as "" when its value is not a str, as the reader's text() does.
        const auto text = [&c](std::string_view& out) {
            out = {};
            return c.is_str() ? c.str(out) == index::Need::ok : c.skip() == index::Need::ok;
        };
        for (std::uint32_t i = 0; i < entries; ++i) {
            std::string_view key;
            if (!c.is_str()) {
                if (c.skip() != index::Need::ok || c.skip() != index::Need::ok) return;
                continue;
            }
            if (c.str(key) != index::Need::ok) return;
            bool ok;
            if (key == "type") {
                ok = text(type);
            } else if (key == "test_id") {
                ok = text(test);
            } else if (key == "parent_trace_id") {
                ok = text(parent);
            } else if (key == "timestamp") {
                ok = c.number(at, timed) == index::Need::ok;
            } else {
                ok = c.skip() == index::Need::ok;
            }
            if (!ok) return;
        }
        if (looking && type == "start_test") {
            test_id.assign(test);
            looking = test_id.empty();
        } else if (first_of_list && type == "process" && parent_trace_id.empty()) {
            parent_trace_id.assign(parent);
        }
        if (timed) {
            first = std::isnan(first) ? at : std::min(first, at);
            last = std::isnan(last) ? at : std::max(last, at);
        }
    }

    // One list of the trace, whose records are those of `lists` in turn.
    void list(std::initializer_list<const RecordList*> lists) {
        std::size_t n = 0;
        for (const RecordList* records : lists) n += records->count();
        if (n == 0) return;
        std::size_t i = 0;
        std::string_view last_chunk;
        for (const RecordList* records : lists) {
            for (std::size_t k = 0; k < records->chunk_count(); ++k) {
                const std::string_view chunk = records->chunk(k);
                if (chunk.empty()) continue;
                last_chunk = chunk;
                if (i != 0 && !looking) continue;
                const auto* begin = reinterpret_cast<const std::uint8_t*>(chunk.data());
                index::Cursor walk(begin, begin + chunk.size());
                while (walk.left() != 0 && (i == 0 || looking || i == n - 1)) {
                    record(index::Cursor(walk.at(), begin + chunk.size()), i == 0);
                    if (walk.skip() != index::Need::ok) return;
                    ++i;
                }
            }
        }
        if (i >= n || last_chunk.empty()) return;
        // The last record, which no walk reached: it begins in the last chunk that has any.
        const auto* begin = reinterpret_cast<const std::uint8_t*>(last_chunk.data());
        index::Cursor walk(begin, begin + last_chunk.size());
        const std::uint8_t* at = walk.at();
        while (walk.left() != 0) {
            at = walk.at();
            if (walk.skip() != index::Need::ok) return;
        }
        record(index::Cursor(at, begin + last_chunk.size()), n == 1);
    }
};

PyObject* text_or_none(std::string_view s) {
    return PyUnicode_DecodeUTF8(s.data(), Py_ssize_t(s.size()), "surrogateescape");
}

}  // namespace

PyObject* handed_over_summary(ProfilerObject* self, PyObject* trace) {
    const HandedOver* handed = self->state->handed_over;
    if (handed == nullptr || handed->trace != trace) Py_RETURN_NONE;
    const TakenRecords& taken = *handed->taken;
    static constexpr char kStartTest[] = "\xaastart_test";
    const std::string_view bytes(PyBytes_AS_STRING(trace), std::size_t(PyBytes_GET_SIZE(trace)));
    ListScan scan{bytes.find(std::string_view(kStartTest, sizeof kStartTest - 1)) != std::string_view::npos, {}, {}};
    std::size_t others = 0;
    for (const auto& [thread_id, records] : taken.threads) {  // in the trace's order: other threads first
        scan.list({&records});
        others += records.count();
    }
    scan.list({&taken.main, &taken.closing});
    const std::size_t all = others + taken.main.count() + taken.closing.count();
    Owned argv = Owned::steal(PyList_New(Py_ssize_t(handed->meta->argv.size())));
    if (!argv) return nullptr;
    for (std::size_t i = 0; i < handed->meta->argv.size(); ++i) {
        PyObject* text = text_or_none(handed->meta->argv[i]);
        if (text == nullptr) return nullptr;
        PyList_SET_ITEM(argv.get(), Py_ssize_t(i), text);
    }
    Owned source = Owned::steal(text_or_none(handed->source));
    Owned test_id = Owned::steal(text_or_none(scan.test_id));
    Owned parent = Owned::steal(text_or_none(scan.parent_trace_id));
    if (!source || !test_id || !parent) return nullptr;
    const auto time = [](double at) { return std::isnan(at) ? Py_NewRef(Py_None) : PyFloat_FromDouble(at); };
    Owned first = Owned::steal(time(scan.first));
    Owned last = Owned::steal(time(scan.last));
    if (!first || !last) return nullptr;
    return Py_BuildValue("(OOnnOOOO)", argv.get(), source.get(), Py_ssize_t(all), Py_ssize_t(others), first.get(), last.get(),
                         test_id.get(), parent.get());
}

}  // namespace jarn
