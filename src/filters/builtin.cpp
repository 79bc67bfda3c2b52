#include "builtin.hpp"

#include <array>

#include "../lib/internal_error.hpp"
#include "../utils/cpython_compat.hpp"
#include "../utils/owned.hpp"

namespace jarn {
namespace {

// Function-local statics: built once on first use (thread-safe), shared by every profiler.
const std::array<Finder, 3>& library_filter() {
    static const std::array<Finder, 3> f{Finder("lib/python"), Finder("lib64/python"), Finder("/site-packages/")};
    return f;
}

const Finder& frozen_filter() {
    static const Finder f("<frozen ");
    return f;
}

const std::array<Finder, 15>& host_package_filter() {
    static const std::array<Finder, 15> f{
        Finder("/jarn/db.py"),        Finder("/jarn/serialize.py"),     Finder("/jarn/git.py"),
        Finder("/jarn/version.py"),   Finder("/jarn/__init__.py"),      Finder("/jarn/__main__.py"),
        Finder("/jarn/config.py"),    Finder("/jarn/utils.py"),         Finder("/jarn/profiler.py"),
        Finder("/jarn/wsgi.py"),      Finder("/jarn/asgi.py"),          Finder("/jarn/pytest_plugin.py"),
        Finder("/jarn/testgen/"),     Finder("/jarn/filters/"),         Finder("/jarn/process/"),
    };
    return f;
}

const Finder& exec_filter() {
    static const Finder f("<string>");
    return f;
}

constexpr std::string_view kPytestGenerated = "<pytest match expression>";
constexpr std::string_view kAttrsGenerated = "<attrs generated";
constexpr std::string_view kAttrsMake = "attr/_make.py";

template <typename Finders>
bool any_occurs(const Finders& finders, std::string_view filename) {
    for (const Finder& f : finders) {
        if (f.occurs_in(filename)) return true;
    }
    return false;
}

// The code filename of a calling frame, as UTF-8; null frame or error handled by the caller.
bool caller_filename(PyFrameObject* caller, Owned& holder, std::string_view& out) {
    Owned code = Owned::steal(reinterpret_cast<PyObject*>(PyFrame_GetCode(caller)));
    if (!code) {
        raise_internal_error("A frame has a code object.");
        return false;
    }
    holder = Owned::borrow(reinterpret_cast<PyCodeObject*>(code.get())->co_filename);
    if (!holder) {
        raise_internal_error("A code object has a filename.");
        return false;
    }
    Py_ssize_t size;
    const char* data = PyUnicode_Check(holder.get()) ? PyUnicode_AsUTF8AndSize(holder.get(), &size) : nullptr;
    if (data == nullptr) {
        raise_internal_error("A filename is a string.");
        return false;
    }
    out = std::string_view(data, std::size_t(size));
    return true;
}

}  // namespace

FilenameVerdict filename_verdict(std::string_view filename, const std::vector<Finder>& include_frames,
                                 const std::vector<Finder>& ignore_frames) {
    if (any_occurs(include_frames, filename)) return FilenameVerdict::include;
    if (any_occurs(library_filter(), filename) || frozen_filter().occurs_in(filename) ||
        any_occurs(host_package_filter(), filename) || exec_filter().occurs_in(filename) ||
        filename == kPytestGenerated || starts_with(filename, kAttrsGenerated) ||
        any_occurs(ignore_frames, filename)) {
        return FilenameVerdict::drop;
    }
    return FilenameVerdict::record_unless_attrs;
}

int called_from_attrs(compat::InterpreterFrame* frame, AttrsCallerCache& cache) {
    // The caller's file name straight from the interpreter's frames: no frame object is made.
    if (PyCodeObject* code = compat::caller_code(frame)) {  // borrowed
        if (code->co_filename == cache.filename.get()) return cache.from_attrs ? 1 : 0;
        Py_ssize_t size;
        const char* data =
            PyUnicode_Check(code->co_filename) ? PyUnicode_AsUTF8AndSize(code->co_filename, &size) : nullptr;
        if (data == nullptr) {
            raise_internal_error("A filename is a string.");
            return -1;
        }
        if (size > 0) {
            cache.filename = Owned::borrow(code->co_filename);
            cache.from_attrs = ends_with(std::string_view(data, std::size_t(size)), kAttrsMake);
            return cache.from_attrs ? 1 : 0;
        }
    }
    // No caller, or one without a file name (whose own caller then decides): by the frame objects.
    PyFrameObject* own = compat::frame_object(frame);  // borrowed
    if (own == nullptr) return -1;
    Owned caller = Owned::steal(reinterpret_cast<PyObject*>(PyFrame_GetBack(own)));
    if (!caller) return PyErr_Occurred() ? (raise_internal_error("A frame has an `f_back` attribute."), -1) : 0;
    Owned holder;
    std::string_view filename;
    if (!caller_filename(reinterpret_cast<PyFrameObject*>(caller.get()), holder, filename)) return -1;
    if (!filename.empty()) return ends_with(filename, kAttrsMake) ? 1 : 0;
    Owned outer = Owned::steal(reinterpret_cast<PyObject*>(PyFrame_GetBack(reinterpret_cast<PyFrameObject*>(caller.get()))));
    if (!outer) return PyErr_Occurred() ? (raise_internal_error("A frame has an `f_back` attribute."), -1) : 0;
    if (!caller_filename(reinterpret_cast<PyFrameObject*>(outer.get()), holder, filename)) return -1;
    return ends_with(filename, kAttrsMake) ? 1 : 0;
}

}  // namespace jarn
