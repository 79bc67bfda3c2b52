#include "../utils/frame_state.hpp"
#include "../utils/interned.hpp"
#include "../utils/owned.hpp"
#include "event.hpp"

namespace jarn {
namespace {

bool is_keyboard_interrupt(PyObject* exc) {
    return exc != nullptr && PyErr_GivenExceptionMatches(exc, PyExc_KeyboardInterrupt);
}

bool emit_warning(PyObject* exc, compat::InterpreterFrame* frame, const char* event, PyObject* co_filename,
                  PyObject* co_name) {
    Owned logging = Owned::steal(import_module(names.mod_logging));
    if (!logging) return false;
    Owned logger = Owned::steal(PyObject_CallMethodOneArg(logging.get(), names.getLogger, names.jarn));
    if (!logger) return false;
    // Read in place: f_locals would attach a snapshot to the frame that keeps its values alive.
    Owned locals = frame != nullptr ? Owned::steal(get_locals(frame, false, false)) : Owned::borrow(Py_None);
    if (!locals) return false;
    Owned kwargs = Owned::steal(PyDict_New());
    if (!kwargs || PyDict_SetItem(kwargs.get(), names.exc_info, exc) < 0) return false;
    Owned warning = Owned::steal(PyObject_GetAttr(logger.get(), names.warning));
    if (!warning) return false;
    Owned event_text = Owned::steal(PyUnicode_FromString(event));
    if (!event_text) return false;
    Owned args = Owned::steal(PyTuple_Pack(5, names.log_format, co_filename, co_name, event_text.get(), locals.get()));
    if (!args) return false;
    Owned result = Owned::steal(PyObject_Call(warning.get(), args.get(), kwargs.get()));
    return bool(result);
}

}  // namespace

void log_error(PyObject* exc_in, compat::InterpreterFrame* frame, const char* event, PyObject* co_filename,
               PyObject* co_name) {
    Owned exc = Owned::steal(exc_in);
    bool interrupted = is_keyboard_interrupt(exc.get());
    if (!emit_warning(exc.get(), frame, event, co_filename, co_name)) {
        // Reporting is best effort: a broken logging setup must not reach the profiled program.
        Owned secondary = Owned::steal(PyErr_GetRaisedException());
        interrupted = interrupted || is_keyboard_interrupt(secondary.get());
    }
    // A Ctrl-C that arrived while we ran Python code belongs to the program: deliver it again.
    if (interrupted) PyErr_SetInterrupt();
}

void report_pending(const Event& ev) {
    PyObject* exc = PyErr_GetRaisedException();
    if (exc == nullptr) return;
    log_error(exc, ev.frame, ev.event_name(), ev.co_filename, ev.co_name);
}

}  // namespace jarn
