#include "hooked.hpp"

#include <structmember.h>

#include <cstring>
#include <vector>

#include "../utils/owned.hpp"

namespace jarn::process {
namespace {

struct Hooked {
    PyObject_HEAD
    PyObject* original;
    PyObject* before;  // null: none
    PyObject* after;   // null: none
    vectorcallfunc vectorcall;
};

Hooked* as_hooked(PyObject* self) { return reinterpret_cast<Hooked*>(self); }

// A hook's failure is ours, not the program's; only a Ctrl-C is passed on, for the program to
// receive as it would have.
void swallow_failure() {
    Owned exc = Owned::steal(PyErr_GetRaisedException());
    if (exc && PyErr_GivenExceptionMatches(exc.get(), PyExc_KeyboardInterrupt)) PyErr_SetInterrupt();
}

PyObject* hooked_call(PyObject* self, PyObject* const* args, size_t nargsf, PyObject* kwnames) {
    Hooked* h = as_hooked(self);
    Owned keep_alive = Owned::borrow(self);  // a hook may replace us in our module
    Owned replaced;
    if (h->before != nullptr) {
        Owned given = Owned::steal(PyObject_Vectorcall(h->before, args, nargsf, kwnames));
        if (!given) swallow_failure();
        else if (PyTuple_Check(given.get())) replaced = std::move(given);
    }
    std::vector<PyObject*> call_args;  // borrowed
    if (replaced) {
        // New positional arguments, the keywords as given.
        const Py_ssize_t n = PyTuple_GET_SIZE(replaced.get());
        const Py_ssize_t keywords = kwnames != nullptr ? PyTuple_GET_SIZE(kwnames) : 0;
        for (Py_ssize_t i = 0; i < n; ++i) call_args.push_back(PyTuple_GET_ITEM(replaced.get(), i));
        const PyObject* const* given_keywords = args + PyVectorcall_NARGS(nargsf);
        for (Py_ssize_t i = 0; i < keywords; ++i) call_args.push_back(const_cast<PyObject*>(given_keywords[i]));
        args = call_args.data();
        nargsf = size_t(n);
    }
    Owned result = Owned::steal(PyObject_Vectorcall(h->original, args, nargsf, kwnames));
    if (h->after != nullptr) {
        // Also when the original failed: what `before` did may have to be undone. Its
        // exception is the one the caller gets.
        PyObject* failure = result ? nullptr : PyErr_GetRaisedException();
        Owned done = Owned::steal(PyObject_Vectorcall(h->after, args, nargsf, kwnames));
        if (!done) swallow_failure();
        if (failure != nullptr) PyErr_SetRaisedException(failure);
    }
    return result.release();
}

PyObject* hooked_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
    static const char* keywords[] = {"original", "before", "after", nullptr};
    PyObject* original;         // borrowed
    PyObject* before = Py_None;  // borrowed
    PyObject* after = Py_None;   // borrowed
    if (!PyArg_ParseTupleAndKeywords(args, kwargs, "O|OO:Hooked", const_cast<char**>(keywords), &original, &before,
                                     &after)) {
        return nullptr;
    }
    for (PyObject* f : {original, before, after}) {
        if (f != Py_None && !PyCallable_Check(f)) {
            PyErr_Format(PyExc_TypeError, "Hooked takes callables, not %.100s", Py_TYPE(f)->tp_name);
            return nullptr;
        }
    }
    PyObject* self = type->tp_alloc(type, 0);
    if (self == nullptr) return nullptr;
    Hooked* h = as_hooked(self);
    h->original = Owned::borrow(original).release();
    h->before = before != Py_None ? Owned::borrow(before).release() : nullptr;
    h->after = after != Py_None ? Owned::borrow(after).release() : nullptr;
    h->vectorcall = hooked_call;
    return self;
}

int hooked_traverse(PyObject* self, visitproc visit, void* arg) {
    Py_VISIT(Py_TYPE(self));
    Py_VISIT(as_hooked(self)->original);
    Py_VISIT(as_hooked(self)->before);
    Py_VISIT(as_hooked(self)->after);
    return 0;
}

int hooked_clear(PyObject* self) {
    Hooked* h = as_hooked(self);
    Owned original = Owned::steal(h->original);
    Owned before = Owned::steal(h->before);
    Owned after = Owned::steal(h->after);
    h->original = h->before = h->after = nullptr;
    return 0;
}

void hooked_dealloc(PyObject* self) {
    PyTypeObject* type = Py_TYPE(self);
    PyObject_GC_UnTrack(self);
    hooked_clear(self);
    type->tp_free(self);
    Owned::steal(reinterpret_cast<PyObject*>(type));
}

PyObject* hooked_repr(PyObject* self) {
    if (as_hooked(self)->original == nullptr) return PyUnicode_FromString("<cleared hook>");
    return PyObject_Repr(as_hooked(self)->original);
}

// What describes a function is the original's: its name, module, documentation and signature.
PyObject* hooked_getattro(PyObject* self, PyObject* name) {
    PyObject* original = as_hooked(self)->original;  // borrowed
    const char* text = PyUnicode_Check(name) ? PyUnicode_AsUTF8(name) : nullptr;
    if (original != nullptr && text != nullptr) {
        for (const char* described : {"__name__", "__qualname__", "__module__", "__doc__", "__text_signature__", "__self__"}) {
            if (std::strcmp(text, described) == 0) return PyObject_GetAttr(original, name);
        }
    }
    PyErr_Clear();
    PyObject* found = PyObject_GenericGetAttr(self, name);
    if (found != nullptr || original == nullptr || !PyErr_ExceptionMatches(PyExc_AttributeError)) return found;
    PyErr_Clear();
    return PyObject_GetAttr(original, name);
}

PyMemberDef members[] = {
    {"__wrapped__", T_OBJECT, offsetof(Hooked, original), READONLY, nullptr},
    {"__vectorcalloffset__", T_PYSSIZET, offsetof(Hooked, vectorcall), READONLY, nullptr},
    {nullptr, 0, 0, 0, nullptr},
};

PyType_Slot slots[] = {
    {Py_tp_new, reinterpret_cast<void*>(hooked_new)},
    {Py_tp_dealloc, reinterpret_cast<void*>(hooked_dealloc)},
    {Py_tp_traverse, reinterpret_cast<void*>(hooked_traverse)},
    {Py_tp_clear, reinterpret_cast<void*>(hooked_clear)},
    {Py_tp_call, reinterpret_cast<void*>(PyVectorcall_Call)},
    {Py_tp_repr, reinterpret_cast<void*>(hooked_repr)},
    {Py_tp_getattro, reinterpret_cast<void*>(hooked_getattro)},
    {Py_tp_members, members},
    {Py_tp_doc, const_cast<char*>("Hooked(original, before=None, after=None)\n--\n\n"
                                  "Calls `original` with the arguments it is given. `before` is called with them first: a tuple "
                                  "it returns replaces the positional arguments. `after` is called with the arguments used once "
                                  "`original` has returned or raised. Whatever the hooks raise is dropped.")},
    {0, nullptr},
};

PyType_Spec spec = {
    "jarn._process.Hooked",
    sizeof(Hooked),
    0,
    Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_GC | Py_TPFLAGS_HAVE_VECTORCALL,
    slots,
};

PyTypeObject* type_object = nullptr;

}  // namespace

PyTypeObject* hooked_type() {
    if (type_object == nullptr) type_object = reinterpret_cast<PyTypeObject*>(PyType_FromSpec(&spec));
    return type_object;
}

}  // namespace jarn::process
