#include "frame_info.hpp"

#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstring>
#include <ctime>
#include <string_view>

#include "internal_error.hpp"
#include "convert.hpp"
#include "cpython_compat.hpp"
#include "dict_watch.hpp"
#include "frame_state.hpp"
#include "interned.hpp"
#include "owned.hpp"
#include "code_info.hpp"
#include "own_clock.hpp"
#include "path_prefix.hpp"

namespace jarn {
namespace {

PyObject* as_object(PyFrameObject* frame) { return reinterpret_cast<PyObject*>(frame); }

// str(value), or "<unprintable T object>" after handing the failure to the unraisable hook.
void append_str(std::string& out, PyObject* value) {
    if (PyUnicode_CheckExact(value)) {
        Py_ssize_t size;
        const char* data = PyUnicode_AsUTF8AndSize(value, &size);
        if (data != nullptr) {
            out.append(data, std::size_t(size));
            return;
        }
        PyErr_Clear();
    }
    Owned text = Owned::steal(PyObject_Str(value));
    std::string_view utf8;
    if (text && utf8_of(text.get(), utf8)) {
        out.append(utf8);
        return;
    }
    PyErr_WriteUnraisable(value);
    Owned type_name = Owned::steal(PyType_GetName(Py_TYPE(value)));
    std::string_view name_text;
    if (type_name && utf8_of(type_name.get(), name_text)) {
        out.append("<unprintable ").append(name_text).append(" object>");
    } else {
        PyErr_Clear();
        out.append("<unprintable object>");
    }
}

// "a.b" into `out`, whose memory is reused.
void join(std::string& out, PyObject* a, PyObject* b) {
    out.clear();
    append_str(out, a);
    out.push_back('.');
    append_str(out, b);
}

// obj.__module__ joined with obj.__qualname__.
int join_module_qualname(PyObject* obj, std::string& out) {
    Owned module = Owned::steal(PyObject_GetAttr(obj, names.__module__));
    if (!module) return -1;
    Owned qualname = Owned::steal(PyObject_GetAttr(obj, names.__qualname__));
    if (!qualname) return -1;
    join(out, module.get(), qualname.get());
    return 1;
}

// Looks `key` up by subscription: 1 found, 0 KeyError (cleared), -1 any other error.
int lookup(PyObject* mapping, PyObject* key, Owned& out) {
    out = Owned::steal(PyObject_GetItem(mapping, key));
    if (out) return 1;
    if (PyErr_ExceptionMatches(PyExc_KeyError)) {
        PyErr_Clear();
        return 0;
    }
    return -1;
}

// Module name of the frame's globals ("__name__" must exist).
Owned module_name(compat::InterpreterFrame* frame) {
    PyObject* globals = compat::globals_of(frame);  // borrowed; the frame holds it
    if (PyDict_CheckExact(globals)) {
        PyObject* name = PyDict_GetItemWithError(globals, names.__name__);  // borrowed
        if (name != nullptr) return Owned::borrow(name);
        if (!PyErr_Occurred()) PyErr_SetObject(PyExc_KeyError, names.__name__);
        return Owned();
    }
    return Owned::steal(PyObject_GetItem(globals, names.__name__));
}

// The search used when a code object has no co_qualname; every failure ends as "no name".
int get_qualname_inner(compat::InterpreterFrame* running, PyObject* name, std::string& out) {
    PyFrameObject* frame = compat::frame_object(running);  // borrowed
    if (frame == nullptr) return -1;
    Owned back = Owned::steal(PyObject_GetAttr(as_object(frame), names.f_back));
    if (!back) return -1;
    if (back.get() == Py_None) return 0;
    if (!PyFrame_Check(back.get())) return 0;
    Owned back_locals = Owned::steal(
        get_locals(compat::interpreter_frame(reinterpret_cast<PyFrameObject*>(back.get())), false, false));
    if (!back_locals) return -1;
    Owned found;
    int r = lookup(back_locals.get(), name, found);
    if (r < 0) return 0;
    if (r == 1) return join_module_qualname(found.get(), out);

    Owned locals = Owned::steal(get_locals(running, false, false));
    if (!locals) return -1;
    Owned inspect = Owned::steal(import_module(names.mod_inspect));
    if (!inspect) return -1;
    Owned getattr_static = Owned::steal(PyObject_GetAttr(inspect.get(), names.getattr_static));
    if (!getattr_static) return -1;

    Owned self;
    r = lookup(locals.get(), names.self, self);
    if (r < 0) return 0;
    if (r == 1) {
        Owned attr = Owned::steal(PyObject_CallFunctionObjArgs(getattr_static.get(), self.get(), name, nullptr));
        if (!attr) return -1;
        Owned builtins = Owned::steal(import_module(names.mod_builtins));
        if (!builtins) return -1;
        Owned property = Owned::steal(PyObject_GetAttr(builtins.get(), names.property));
        if (!property) return -1;
        const int is_property = PyObject_IsInstance(attr.get(), property.get());
        if (is_property < 0) return -1;
        if (is_property) {
            attr = Owned::steal(PyObject_GetAttr(attr.get(), names.fget));
            if (!attr) return -1;
        }
        return join_module_qualname(attr.get(), out);
    }

    Owned cls;
    r = lookup(locals.get(), names.cls, cls);
    if (r < 0) return 0;
    if (r == 1 && PyType_Check(cls.get())) {
        Owned attr = Owned::steal(PyObject_CallFunctionObjArgs(getattr_static.get(), cls.get(), name, nullptr));
        if (!attr) return -1;
        return join_module_qualname(attr.get(), out);
    }

    Owned globals = Owned::steal(PyObject_GetAttr(as_object(frame), names.f_globals));
    if (!globals) return -1;
    Owned class_qualname;
    r = lookup(locals.get(), names.__qualname__, class_qualname);
    if (r < 0) return 0;
    if (r == 1) {
        Owned module = Owned::steal(PyObject_GetItem(globals.get(), names.__name__));
        if (!module) return -1;
        join(out, module.get(), class_qualname.get());
        return 1;
    }
    Owned global = Owned::steal(PyObject_GetItem(globals.get(), name));
    if (!global) return -1;
    return join_module_qualname(global.get(), out);
}

// The current directory, cached: getcwd is a system call and costs more than the rest of a
// record's path. The cache is dropped whenever Python changes directory (the "os.chdir" and
// "os.fchdir" audit events). The audit event comes before the change itself, which happens with
// the interpreter lock released; until the changing thread runs again, other threads read the
// directory afresh without caching it. A change made otherwise (native code calling chdir) has no
// audit event: the cache is also read again once it is a millisecond old, by the own clock the
// event has read already (own_clock.hpp), which costs no clock read of its own and one getcwd per
// millisecond.
struct CwdCache {
    // For how many ticks of the own clock after `read_at` `dir` may be used as it is: 0 while a
    // change is pending (the audit event clears it) and without the audit hook, which alone tells
    // of a change. Both are read at every event, the one test there `now - read_at < fresh_for`.
    std::uint64_t read_at = 0;  // own clock
    std::uint64_t fresh_for = 0;
    std::uint64_t generation = 1;  // moves on whenever the cached text changes
    unsigned long pending_thread = 0;
    std::string dir;
};

CwdCache cwd_cache;  // guarded by the interpreter lock

int on_audit_event(const char* event, PyObject*, void*) {
    if (std::strcmp(event, "os.chdir") == 0 || std::strcmp(event, "os.fchdir") == 0) {
        cwd_cache.fresh_for = 0;
        cwd_cache.pending_thread = PyThread_get_thread_ident();
    }
    return 0;
}

// The current directory into `buffer`; false with the exception set.
bool read_cwd(char (&buffer)[PATH_MAX]) {
    if (getcwd(buffer, sizeof buffer) == nullptr) {
        PyErr_SetFromErrno(PyExc_OSError);
        raise_internal_error("Current directory is invalid");
        return false;
    }
    return true;
}

bool hook_installed = false;

bool current_dir(std::string_view& out, std::uint64_t& generation, std::uint64_t now) {
    generation = cwd_cache.generation;
    if (cwd_cache.pending_thread != 0) {
        if (cwd_cache.pending_thread != PyThread_get_thread_ident()) {
            static std::string uncached;
            char buffer[PATH_MAX];
            if (!read_cwd(buffer)) return false;
            uncached.assign(buffer);
            out = uncached;
            generation = 0;  // not cached: nothing may be kept from it
            return true;
        }
        cwd_cache.pending_thread = 0;  // the change has returned on its own thread
    }
    // A clock set back counts as old too.
    if (now - cwd_cache.read_at >= cwd_cache.fresh_for) {
        // Read once a millisecond while nothing changes: compared in place, copied only when new.
        char buffer[PATH_MAX];
        if (!read_cwd(buffer)) return false;
        if (std::string_view(buffer) != cwd_cache.dir) {
            cwd_cache.dir.assign(buffer);
            ++cwd_cache.generation;
        }
        cwd_cache.fresh_for = hook_installed ? own_clock::kMillisecondAtMost : 0;
        cwd_cache.read_at = now;
    }
    out = cwd_cache.dir;
    generation = cwd_cache.generation;
    return true;
}

}  // namespace

bool init_cwd_tracking() {
    if (hook_installed) return true;
    if (PySys_AddAuditHook(on_audit_event, nullptr) < 0) {
        // Refused by an existing hook: read the directory at every record instead.
        PyErr_Clear();
        return true;
    }
    hook_installed = true;
    return true;
}

namespace {

void append_encoded_str(std::string& out, std::string_view s) {
    std::uint8_t header[5];
    msgpack::Cursor c(header);
    c.str_header(s.size());
    out.append(reinterpret_cast<const char*>(header), std::size_t(c.at() - header));
    out.append(s);
}

// Whether names made for `globals` in module-name generation `generation` still hold for the frame.
bool names_hold(const PyObject* globals, std::uint64_t generation, compat::InterpreterFrame* frame) {
    return globals == compat::globals_of(frame) && generation == module_name_generation();
}

// Whether the place's texts hold for the frame in directory generation `cwd_generation`: its
// stamp says the code's texts, the directory and the module names are all as they were made, and
// the frame runs with the globals the names were made for.
bool place_holds(const CodeInfo& info, const CodeInfo::Place& place, std::uint64_t cwd_generation,
                 compat::InterpreterFrame* frame) {
    return place.stamp == CodeInfo::texts_stamp(cwd_generation) && info.globals == compat::globals_of(frame);
}

// The directory's cache read again once it may be stale, out of the way of the common event:
// false when it cannot be used now (no exception is left set).
[[gnu::noinline]] bool cwd_refreshed(std::uint64_t now) {
    std::string_view dir;
    std::uint64_t generation;
    if (!current_dir(dir, generation, now)) {
        PyErr_Clear();  // write_code_texts reports it
        return false;
    }
    return generation != 0;
}

// Notes that the kept names hold for these globals until their "__name__" changes.
void remember_globals(CodeInfo& info, PyObject* globals) {
    // A dict subclass may answer `__name__` otherwise than its entries say: looked up each time.
    info.globals = PyDict_CheckExact(globals) && watch_module_name(globals) ? globals : nullptr;
    info.name_generation = module_name_generation();
}

// The "co_name" and "qualname" entries: kept per code object while the module name is the same
// str object (a str's text cannot change, nor can the code's co_name and co_qualname); made
// afresh otherwise, since the module name's str() may run code. `info` is the code's.
bool encoded_names(compat::InterpreterFrame* frame, PyCodeObject* code, CodeInfo& info, std::string& made,
                   std::string_view& out) {
    PyObject* globals = compat::globals_of(frame);  // borrowed; the frame holds it
    Owned module = module_name(frame);
    if (module) {
        if (info.module_name.get() == module.get() && !info.names.empty()) {
            remember_globals(info, globals);
            out = info.names;
            return true;
        }
    } else {
        if (!PyErr_ExceptionMatches(PyExc_KeyError)) return false;
        PyErr_Clear();
    }
    std::string qualname;
    const int has_qualname = get_qualname(frame, qualname);
    if (has_qualname < 0) return false;
    std::string_view co_name;
    std::string shown;
    if (!shown_text(code->co_name, co_name, shown)) return false;
    made.assign("\xa7" "co_name");
    append_encoded_str(made, co_name);
    made.append("\xa8qualname");
    if (has_qualname) {
        append_encoded_str(made, qualname);
    } else {
        made.push_back(char(0xc0));
    }
    if (module && PyUnicode_CheckExact(module.get()) && PyUnicode_CheckExact(code->co_qualname)) {
        Owned previous = std::move(info.module_name);
        info.module_name = std::move(module);
        info.names.assign(made);
        info.drop_kept_texts();
        remember_globals(info, globals);
    }
    out = made;
    return true;
}

}  // namespace

const PaddedBytes* kept_code_texts(compat::InterpreterFrame* frame, const CodeInfo& info, std::uint64_t now) {
    // The directory's cache holds (as current_dir() would find it), or is read again.
    const CwdCache& cwd = cwd_cache;
    if (now - cwd.read_at >= cwd.fresh_for) [[unlikely]] {
        if (!cwd_refreshed(now)) return nullptr;
    }
    // A frame whose line a trace function set, or that has run no instruction yet, finds a free
    // place (frame_instruction null, or a key no place has), whose stamp is never valid.
    const CodeInfo::Place& place = info.find_place(compat::frame_instruction(frame));
    return place_holds(info, place, cwd.generation, frame) ? &place.bytes : nullptr;
}

bool write_code_texts(compat::InterpreterFrame* frame, PyCodeObject* code, std::uint64_t now, msgpack::Buffer& out) {
    std::string_view cwd;
    std::uint64_t generation;
    if (!current_dir(cwd, generation, now)) return false;
    CodeInfo* info = code_info(code);
    if (info == nullptr) return false;
    // A trace function may have set the line itself: then the place says nothing of the line.
    PyCodeObject* placed_code;  // borrowed
    int offset;
    const void* place_key = nullptr;
    CodeInfo::Place* place = nullptr;
    int lineno;
    if (compat::frame_place(frame, placed_code, offset)) {
        place_key = compat::frame_instruction(frame);
        place = &info->place(place_key);
        if (generation != 0 && place_holds(*info, *place, generation, frame)) {
            msgpack::put_bytes(out, place->bytes.data(), place->bytes.size());
            return true;
        }
        if (place->line < 0) place->line = compat::line_number(frame);
        lineno = place->line >= 0 ? place->line : code->co_firstlineno;
    } else {
        lineno = line_of(frame);
    }
    if (generation == 0 || info->cwd_generation != generation) {
        std::string_view path;
        std::string shown;
        if (!shown_text(code->co_filename, path, shown)) return false;
        info->path_prefix.assign(strip_dir_prefix(path, cwd));
        info->path_prefix.push_back(':');
        info->cwd_generation = generation;
        info->drop_kept_texts();
    }
    char digits[16];
    char* const digits_end = digits + sizeof digits;
    char* first = digits_end;
    unsigned value = lineno < 0 ? 0u : unsigned(lineno);
    do {
        *--first = char('0' + value % 10);
        value /= 10;
    } while (value != 0);
    if (lineno < 0) *--first = '-';
    const std::size_t n_digits = std::size_t(digits_end - first);
    // The names are kept while the globals they were made for still have the same "__name__".
    const bool names_kept = !info->names.empty() && names_hold(info->globals, info->name_generation, frame);
    const std::string_view kept = names_kept ? std::string_view(info->names) : std::string_view();
    // The texts go in with one size check: key, header at most 5 bytes, text and digits, names.
    const std::size_t start = out.size();
    const std::string_view prefix = info->path_prefix;
    const std::string prefix_written = names_kept ? std::string() : info->path_prefix;
    out.resize(start + 10 + prefix.size() + n_digits + kept.size());
    msgpack::Cursor c(out.data() + start);
    c.constant("\xa4path");
    c.str_header(prefix.size() + n_digits);
    std::uint8_t* at = c.at();
    std::memcpy(at, prefix.data(), prefix.size());
    at += prefix.size();
    for (const char* d = first; d != digits_end; ++d) *at++ = std::uint8_t(*d);
    if (names_kept) {  // an empty view's data may be null, which memcpy must not get
        std::memcpy(at, kept.data(), kept.size());
        at += kept.size();
    }
    out.resize(std::size_t(at - out.data()));
    if (names_kept) {
        if (place != nullptr && info->globals != nullptr && generation != 0) {
            // Made with texts that hold while the code's do: kept for the next record made here.
            place->bytes.assign(out.data() + start, std::size_t(at - (out.data() + start)));
            place->stamp = CodeInfo::texts_stamp(generation);
        }
        return true;
    }
    // The path entry is written before the names are looked up: that may run code, which may
    // change the code's info (`prefix`, `place`) meanwhile.
    std::string made;
    std::string_view names;
    if (!encoded_names(frame, code, *info, made, names)) return false;
    msgpack::put_bytes(out, names.data(), names.size());
    // Names just kept, with the path entry still the one written: the place's texts are kept
    // now, as the next record here would keep them, so that it already finds them.
    if (place_key != nullptr && generation != 0 && info->globals != nullptr && info->cwd_generation == generation &&
        !info->names.empty() && names == info->names && info->path_prefix == prefix_written &&
        names_hold(info->globals, info->name_generation, frame)) {
        CodeInfo::Place& kept_place = info->place(place_key);  // found again: the code run may have moved it
        kept_place.bytes.assign(out.data() + start, out.size() - start);
        kept_place.stamp = CodeInfo::texts_stamp(generation);
    }
    return true;
}

int get_qualname(compat::InterpreterFrame* frame, std::string& out) {
    Owned code = Owned::borrow(reinterpret_cast<PyObject*>(compat::code_of(frame)));
    Owned qualname = Owned::borrow(reinterpret_cast<PyCodeObject*>(code.get())->co_qualname);
    if (qualname) {
        Owned module = module_name(frame);
        if (module) {
            join(out, module.get(), qualname.get());
            return 1;
        }
        // Code run by exec with a bare globals dict (templates, doctests, generated code) has
        // no module name: the code's own qualified name stands alone.
        if (!PyErr_ExceptionMatches(PyExc_KeyError)) return -1;
        PyErr_Clear();
        out.clear();
        append_str(out, qualname.get());
        return 1;
    }
    if (!PyErr_ExceptionMatches(PyExc_AttributeError)) return -1;
    PyErr_Clear();

    Owned name = Owned::steal(PyObject_GetAttr(code.get(), names.co_name));
    if (!name) return -1;
    std::string_view name_text;
    if (!utf8_of(name.get(), name_text)) return -1;
    if (name_text == "<module>") {
        Owned module = module_name(frame);
        if (!module) return -1;
        out.clear();
        append_str(out, module.get());
        out.append(".<module>");
        return 1;
    }
    const int found = get_qualname_inner(frame, name.get(), out);
    if (found < 0) {
        PyErr_Clear();
        return 0;
    }
    return found;
}

}  // namespace jarn
