#include "trace.hpp"

#include "monitoring.hpp"

#include <cstring>
#include <memory>

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

PyObject* build_taking(ProfilerObject* self, TakenRecords& taken) {
    ProfilerState& p = *self->state;
    TraceMetadata meta;
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
    PyObject* trace = build_taking(self, taken);
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
    Owned trace = Owned::steal(build_taking(self, taken));
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
    Owned result = save ? Owned::steal(PyObject_Call(save.get(), args.get(), kwargs.get())) : Owned();
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
    {"restore", pieces_restore, METH_NOARGS,
     "restore($self)\n--\n\nThe trace was not stored: its records go back in front of the profiler's buffers."},
    {nullptr, nullptr, 0, nullptr},
};

PyGetSetDef pieces_getset[] = {
    {"trace_id", pieces_get_trace_id, nullptr, "The trace's identifier.", nullptr},
    {"summary", pieces_get_summary, nullptr, "(command_line, source, record_count, other_threads_record_count)",
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
