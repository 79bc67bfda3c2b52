#include "builtin.hpp"

#include <array>
#include <string>

#include "../utils/code_info.hpp"
#include "../utils/convert.hpp"
#include "../utils/internal_error.hpp"
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

// The background writer saves traces on a thread of its own while profiling goes on (a test run
// with threading records every thread): it and the store it calls are jarn's own too, and so is
// the scrubbing the web middlewares run inside each request.
const std::array<Finder, 20>& host_package_filter() {
    static const std::array<Finder, 20> f{
        Finder("/jarn/db.py"),        Finder("/jarn/serialize.py"),     Finder("/jarn/git.py"),
        Finder("/jarn/version.py"),   Finder("/jarn/__init__.py"),      Finder("/jarn/__main__.py"),
        Finder("/jarn/config.py"),    Finder("/jarn/utils.py"),         Finder("/jarn/profiler.py"),
        Finder("/jarn/wsgi.py"),      Finder("/jarn/asgi.py"),          Finder("/jarn/pytest_plugin.py"),
        Finder("/jarn/testgen/"),     Finder("/jarn/filters/"),         Finder("/jarn/writer.py"),
        Finder("/jarn/store/"),       Finder("/jarn/trace/"),           Finder("/jarn/process/"),
        Finder("/jarn/django.py"),    Finder("/jarn/scrub.py"),
    };
    return f;
}

// Code that no one wrote as Python source: compiled templates and code generated at run time.
// - "<...>" names (Jinja2's "<template>", "<decorator-gen-1>"...), but not a prompt's, whose
//   code the user typed;
// - Mako's string templates ("memory:0x...") and its module ids (a bare identifier, no path);
// - a file whose extension is not Python's: a template compiled under its own name (Jinja2's
//   "templates/page.html");
// - Mako's compiled modules kept on disk, named after their template ("page.html.py").
// What people typed: the interpreter's, IPython's and IDLE's prompts, and the cells of jarn's own
// %%jarn magic.
constexpr std::array<std::string_view, 7> kPromptNames{"<stdin>",   "<console", "<python-input-", "<ipython-input-",
                                                        "<pyshell#", "<input>",  "<jarn-cell-"};
constexpr std::array<std::string_view, 5> kPythonExtensions{".py", ".pyw", ".pyx", ".pxd", ".pxi"};
constexpr std::array<std::string_view, 9> kTemplateExtensions{".html.py", ".htm.py",  ".xml.py",  ".txt.py", ".mako.py",
                                                              ".mak.py",  ".tmpl.py", ".jinja.py", ".j2.py"};

template <std::size_t N>
bool any_suffix(std::string_view filename, const std::array<std::string_view, N>& suffixes) {
    for (std::string_view s : suffixes) {
        if (ends_with(filename, s)) return true;
    }
    return false;
}

bool generated_code(std::string_view filename) {
    if (filename.empty()) return false;
    if (filename.front() == '<') {
        if (filename.back() != '>') return false;
        for (std::string_view prompt : kPromptNames) {
            if (starts_with(filename, prompt)) return false;
        }
        return true;
    }
    if (starts_with(filename, "memory:")) return true;
    const std::size_t slash = filename.rfind('/');
    const std::string_view last = slash == std::string_view::npos ? filename : filename.substr(slash + 1);
    if (last.find('.') == std::string_view::npos) {  // a bare module id: a name of word characters, no path
        if (slash != std::string_view::npos) return false;
        for (char c : last) {
            if (!(c == '_' || (c >= '0' && c <= '9') || (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z'))) return false;
        }
        return true;
    }
    return !any_suffix(last, kPythonExtensions) || any_suffix(last, kTemplateExtensions);
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
        filename == kPytestGenerated || starts_with(filename, kAttrsGenerated) || generated_code(filename) ||
        any_occurs(ignore_frames, filename)) {
        return FilenameVerdict::drop;
    }
    return FilenameVerdict::record_unless_attrs;
}

int called_from_attrs(compat::InterpreterFrame* frame) {
    // The caller's file name straight from the interpreter's frames: no frame object is made.
    // What it says is kept on the caller's code object.
    if (PyCodeObject* code = compat::caller_code(frame)) {  // borrowed
        CodeInfo* info = code_info(code);
        if (info == nullptr) return -1;
        if (info->attrs_maker >= 0) return info->attrs_maker;
        std::string_view text;
        std::string shown;
        if (!PyUnicode_Check(code->co_filename) || !shown_text(code->co_filename, text, shown)) {
            raise_internal_error("A filename is a string.");
            return -1;
        }
        if (!text.empty()) {
            info->attrs_maker = ends_with(text, kAttrsMake) ? 1 : 0;
            return info->attrs_maker;
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
