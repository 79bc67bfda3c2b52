#include "trace.hpp"

#include <cstring>

#include "../lib/internal_error.hpp"
#include "../utils/convert.hpp"
#include "../utils/interned.hpp"
#include "../utils/msgpack.hpp"

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
};

TakenRecords take_records(ProfilerState& p) {
    TakenRecords taken{std::move(p.frames_of_interest), std::move(p.frames)};
    p.frames_of_interest = RecordList();
    p.frames.clear();
    return taken;
}

// Records added while the host ran belong after the ones it failed to store.
void restore_records(ProfilerState& p, TakenRecords&& taken) {
    p.frames_of_interest.prepend(std::move(taken.main));
    for (auto& [thread_id, records] : taken.threads) p.frames[thread_id].prepend(std::move(records));
}

// Everything but the records is small: it is written first, with the places where record lists
// belong noted, and then the whole trace is copied once, straight into the bytes object.
PyObject* write_trace(const ProfilerState& p, const TraceMetadata& meta, const TakenRecords& taken) {
    struct Splice {
        std::size_t at;
        const RecordList* records;
    };
    std::vector<Splice> splices;
    splices.reserve(taken.threads.size() + 1);
    msgpack::Buffer b;
    b.reserve(512 + p.source.size() + meta.version.size() + 16 * taken.threads.size());
    msgpack::write_map_header(b, 8);
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
        splices.push_back(Splice{b.size(), &records});
    }
    msgpack::write_str(b, "frames_of_interest");
    msgpack::write_array_header(b, taken.main.count());
    splices.push_back(Splice{b.size(), &taken.main});
    msgpack::write_int_pair(b, "main_thread_id", p.main_thread_id);
    msgpack::write_str(b, "meta");
    msgpack::write_map_header(b, 3);
    msgpack::write_str_pair(b, "version", meta.version);
    msgpack::write_str_pair(b, "source", p.source);
    msgpack::write_str(b, "use_frame_boundaries");
    msgpack::write_true(b);
    msgpack::write_f64_pair(b, p.start_timestamp);
    msgpack::write_str_pair(b, "trace_id", p.trace_id);

    std::size_t total = b.size();
    for (const Splice& s : splices) total += s.records->byte_size();
    PyObject* trace = PyBytes_FromStringAndSize(nullptr, Py_ssize_t(total));
    if (trace == nullptr) return nullptr;
    auto* out = reinterpret_cast<std::uint8_t*>(PyBytes_AS_STRING(trace));
    std::size_t written = 0;
    for (const Splice& s : splices) {
        std::memcpy(out, b.data() + written, s.at - written);
        out = s.records->copy_records(out + (s.at - written));
        written = s.at;
    }
    std::memcpy(out, b.data() + written, b.size() - written);
    return trace;
}

PyObject* build_taking(ProfilerState& p, TakenRecords& taken) {
    TraceMetadata meta;
    // Host lookups first: when one fails, nothing has left the buffers yet.
    if (!read_metadata(meta)) return nullptr;
    taken = take_records(p);
    PyObject* trace = write_trace(p, meta, taken);
    if (trace == nullptr) {
        restore_records(p, std::move(taken));
        return raise_internal_error("the trace's bytes object can be created");
    }
    return trace;
}

}  // namespace

PyObject* build_trace_inner(ProfilerObject* self) {
    TakenRecords taken;
    return build_taking(*self->state, taken);
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
    Owned trace = Owned::steal(build_taking(p, taken));
    if (!trace) return false;
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

}  // namespace jarn
