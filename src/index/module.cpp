// jarn._index: the native index builder (scanner.hpp) as a Python type. The host feeds a Scanner
// a stored trace's bytes window by window, takes its finished blocks as it goes (so that memory
// stays bounded whatever the trace's size) and writes them to the store.
#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <cmath>
#include <new>

#include "../utils/owned.hpp"
#include "scanner.hpp"

namespace jarn {
namespace {

struct ScannerObject {
    PyObject_HEAD
    index::Scanner* scanner;
};

index::Scanner& of(PyObject* self) { return *reinterpret_cast<ScannerObject*>(self)->scanner; }

PyObject* optional_float(double v) {
    if (std::isnan(v)) Py_RETURN_NONE;
    return PyFloat_FromDouble(v);
}

PyObject* text(const std::string& s) {
    return PyUnicode_DecodeUTF8(s.data(), Py_ssize_t(s.size()), "replace");
}

int scanner_init(PyObject* self, PyObject* args, PyObject* kwds) {
    static const char* keywords[] = {"main_thread_id", nullptr};
    PyObject* main = nullptr;  // absent: guessed
    if (!PyArg_ParseTupleAndKeywords(args, kwds, "|O", const_cast<char**>(keywords), &main)) return -1;
    bool known = main != nullptr, has_main = false;
    long long id = 0;
    if (main != nullptr && main != Py_None) {
        id = PyLong_AsLongLong(main);
        if (id == -1 && PyErr_Occurred()) return -1;
        has_main = true;
    }
    auto* obj = reinterpret_cast<ScannerObject*>(self);
    delete obj->scanner;
    obj->scanner = new (std::nothrow) index::Scanner(known, has_main, id);
    if (obj->scanner == nullptr) {
        PyErr_NoMemory();
        return -1;
    }
    return 0;
}

void scanner_dealloc(PyObject* self) {
    delete reinterpret_cast<ScannerObject*>(self)->scanner;
    Py_TYPE(self)->tp_free(self);
}

bool ready(PyObject* self) {
    if (reinterpret_cast<ScannerObject*>(self)->scanner != nullptr) return true;
    PyErr_SetString(PyExc_RuntimeError, "Scanner.__init__ was not called");
    return false;
}

PyObject* scanner_feed(PyObject* self, PyObject* arg) {
    if (!ready(self)) return nullptr;
    Py_buffer view;
    if (PyObject_GetBuffer(arg, &view, PyBUF_SIMPLE) != 0) return nullptr;
    bool ok;
    Py_BEGIN_ALLOW_THREADS
    ok = of(self).feed(static_cast<const std::uint8_t*>(view.buf), std::size_t(view.len));
    Py_END_ALLOW_THREADS
    PyBuffer_Release(&view);
    if (!ok) {
        PyErr_SetString(PyExc_ValueError, of(self).error().c_str());
        return nullptr;
    }
    Py_RETURN_NONE;
}

// set_notes(list, count): list None for the main list, else a thread's id.
PyObject* scanner_set_notes(PyObject* self, PyObject* const* args, Py_ssize_t nargs) {
    if (!ready(self)) return nullptr;
    if (nargs != 2) {
        PyErr_SetString(PyExc_TypeError, "set_notes(list, count)");
        return nullptr;
    }
    long long list = index::kMainList;
    if (args[0] != Py_None) {
        list = PyLong_AsLongLong(args[0]);
        if (list == -1 && PyErr_Occurred()) return nullptr;
    }
    const unsigned long long count = PyLong_AsUnsignedLongLong(args[1]);
    if (count == static_cast<unsigned long long>(-1) && PyErr_Occurred()) return nullptr;
    of(self).set_notes(list, count);
    Py_RETURN_NONE;
}

// (list, index) of the notes the scanner waits for (list None: the main list), or None.
PyObject* scanner_notes_wanted(PyObject* self, PyObject*) {
    if (!ready(self)) return nullptr;
    const index::Scanner& s = of(self);
    if (!s.notes_wanted()) Py_RETURN_NONE;
    if (s.wanted_list() == index::kMainList) return Py_BuildValue("(OK)", Py_None, static_cast<unsigned long long>(s.wanted_index()));
    return Py_BuildValue("(LK)", static_cast<long long>(s.wanted_list()), static_cast<unsigned long long>(s.wanted_index()));
}

PyObject* scanner_feed_notes(PyObject* self, PyObject* arg) {
    if (!ready(self)) return nullptr;
    Py_buffer view;
    if (PyObject_GetBuffer(arg, &view, PyBUF_SIMPLE) != 0) return nullptr;
    of(self).feed_notes(static_cast<const std::uint8_t*>(view.buf), std::size_t(view.len));
    PyBuffer_Release(&view);
    Py_RETURN_NONE;
}

PyObject* scanner_finish(PyObject* self, PyObject*) {
    if (!ready(self)) return nullptr;
    if (!of(self).finish()) {
        PyErr_SetString(PyExc_ValueError, of(self).error().c_str());
        return nullptr;
    }
    Py_RETURN_NONE;
}

// (blocks, runs, marks, texts, postings): what is ready to be written, taken from the scanner.
PyObject* scanner_take(PyObject* self, PyObject*) {
    if (!ready(self)) return nullptr;
    index::Scanner& s = of(self);
    auto blocks = s.take_blocks();
    auto runs = s.take_runs();
    auto marks = s.take_marks();
    auto docs = s.take_texts();
    auto postings = s.take_postings();
    Owned d = Owned::steal(PyList_New(Py_ssize_t(docs.size())));
    Owned p = Owned::steal(PyList_New(Py_ssize_t(postings.size())));
    if (!d || !p) return nullptr;
    for (std::size_t i = 0; i < docs.size(); ++i) {
        Owned t = Owned::steal(text(docs[i].text));
        if (!t) return nullptr;
        PyObject* item = Py_BuildValue("(IO)", docs[i].first, t.get());
        if (item == nullptr) return nullptr;
        PyList_SET_ITEM(d.get(), Py_ssize_t(i), item);
    }
    for (std::size_t i = 0; i < postings.size(); ++i) {
        PyObject* item = Py_BuildValue("(IIIy#)", postings[i].first, postings[i].last, postings[i].seq,
                                       reinterpret_cast<const char*>(postings[i].data.data()), Py_ssize_t(postings[i].data.size()));
        if (item == nullptr) return nullptr;
        PyList_SET_ITEM(p.get(), Py_ssize_t(i), item);
    }
    Owned b = Owned::steal(PyList_New(Py_ssize_t(blocks.size())));
    Owned r = Owned::steal(PyList_New(Py_ssize_t(runs.size())));
    Owned m = Owned::steal(PyList_New(Py_ssize_t(marks.size())));
    if (!b || !r || !m) return nullptr;
    for (std::size_t i = 0; i < blocks.size(); ++i) {
        PyObject* item = Py_BuildValue("(Iy#)", blocks[i].number, reinterpret_cast<const char*>(blocks[i].data.data()),
                                       Py_ssize_t(blocks[i].data.size()));
        if (item == nullptr) return nullptr;
        PyList_SET_ITEM(b.get(), Py_ssize_t(i), item);
    }
    for (std::size_t i = 0; i < runs.size(); ++i) {
        const index::LevelRun& run = runs[i];
        PyObject* item = Py_BuildValue("(HBIddy#)", run.thread, run.level, run.count, run.min_end, run.max_end,
                                       reinterpret_cast<const char*>(run.data.data()), Py_ssize_t(run.data.size()));
        if (item == nullptr) return nullptr;
        PyList_SET_ITEM(r.get(), Py_ssize_t(i), item);
    }
    for (std::size_t i = 0; i < marks.size(); ++i) {
        const index::Mark& mark = marks[i];
        Owned ts = Owned::steal(optional_float(mark.ts)), duration = Owned::steal(optional_float(mark.duration));
        if (!ts || !duration) return nullptr;
        PyObject* item = Py_BuildValue("(ILs#OOs#)", mark.call, static_cast<long long>(mark.off), mark.type.data(),
                                       Py_ssize_t(mark.type.size()), ts.get(), duration.get(), mark.label.data(),
                                       Py_ssize_t(mark.label.size()));
        if (item == nullptr) {
            // not UTF-8 (a label cut from bytes that were not): kept as the replacement text
            PyErr_Clear();
            item = Py_BuildValue("(ILsOOs)", mark.call, static_cast<long long>(mark.off), "?", ts.get(), duration.get(), "");
            if (item == nullptr) return nullptr;
        }
        PyList_SET_ITEM(m.get(), Py_ssize_t(i), item);
    }
    return PyTuple_Pack(5, b.get(), r.get(), m.get(), d.get(), p.get());
}


// What the scanner keeps to the end, once it is finished.
PyObject* scanner_summary(PyObject* self, PyObject*) {
    if (!ready(self)) return nullptr;
    index::Scanner& s = of(self);
    Owned threads = Owned::steal(PyList_New(0)), functions = Owned::steal(PyList_New(0));
    Owned edges = Owned::steal(PyList_New(0)), merged = Owned::steal(PyList_New(0)), slowest = Owned::steal(PyList_New(0));
    if (!threads || !functions || !edges || !merged || !slowest) return nullptr;
    auto append = [](PyObject* list, PyObject* new_item) {
        const Owned item = Owned::steal(new_item);
        return item && PyList_Append(list, item.get()) == 0;
    };
    for (const auto& t : s.threads()) {
        Owned name = Owned::steal(text(t.name));
        if (!name) return nullptr;
        PyObject* native = t.has_native ? PyLong_FromLongLong(t.native) : Py_NewRef(Py_None);
        Owned first = Owned::steal(t.has_time ? PyFloat_FromDouble(t.first) : Py_NewRef(Py_None));
        Owned last = Owned::steal(t.has_time ? PyFloat_FromDouble(t.last) : Py_NewRef(Py_None));
        if (!append(threads.get(), Py_BuildValue("(HONOOKII)", t.no, name.get(), native, first.get(), last.get(),
                                                 static_cast<unsigned long long>(t.calls), t.max_depth, t.first_root)))
            return nullptr;
    }
    for (std::size_t i = 0; i < s.functions().size(); ++i) {
        const index::Function& f = s.functions()[i];
        Owned q = Owned::steal(text(f.qualname)), p = Owned::steal(text(f.path));
        if (!q || !p) return nullptr;
        if (!append(functions.get(), Py_BuildValue("(nOOKdd)", Py_ssize_t(i + 1), q.get(), p.get(),
                                                   static_cast<unsigned long long>(f.calls), f.total, f.self)))
            return nullptr;
        for (const auto& [duration, call] : f.slowest) {
            if (!append(slowest.get(), Py_BuildValue("(nId)", Py_ssize_t(i + 1), call, duration))) return nullptr;
        }
    }
    for (const auto& [key, value] : s.edges()) {
        if (!append(edges.get(), Py_BuildValue("(IIKd)", key.first, key.second, static_cast<unsigned long long>(value.first), value.second)))
            return nullptr;
    }
    for (const auto& [key, node] : s.merged()) {
        if (!append(merged.get(), Py_BuildValue("(HIIIKdd)", key.thread, node.node, key.parent, key.fn,
                                                static_cast<unsigned long long>(node.calls), node.total, node.self)))
            return nullptr;
    }
    PyObject* main = s.stored_main_known() ? PyLong_FromLongLong(s.stored_main_id()) : Py_NewRef(Py_None);
    return Py_BuildValue("{sIsKsNsNsNsNsNsNsNsO}", "calls", s.calls(), "records", static_cast<unsigned long long>(s.records()),
                         "truncated", s.truncated_offset() < 0 ? Py_NewRef(Py_None) : PyLong_FromLongLong(s.truncated_offset()), "threads", threads.release(), "functions",
                         functions.release(), "edges", edges.release(), "merged", merged.release(), "slowest", slowest.release(),
                         "main_thread_id", main, "main_guess_wrong", s.main_guess_wrong() ? Py_True : Py_False);
}

PyObject* scanner_pending(PyObject* self, void*) {
    if (!ready(self)) return nullptr;
    return PyLong_FromSize_t(of(self).pending_bytes());
}

PyMethodDef scanner_methods[] = {
    {"feed", scanner_feed, METH_O, "feed(data)\n--\n\nThe next window of the trace's bytes; ValueError when they do not decode."},
    {"set_notes", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(scanner_set_notes)), METH_FASTCALL,
     "set_notes($self, list, count)\n--\n\nHow many notes a list has (list: None for the main list, else a thread id)."},
    {"notes_wanted", scanner_notes_wanted, METH_NOARGS, "notes_wanted($self)\n--\n\n(list, index) of the notes to feed next, or None."},
    {"feed_notes", scanner_feed_notes, METH_O, "feed_notes($self, data)\n--\n\nThe notes of the wanted list from the wanted index on."},
    {"finish", scanner_finish, METH_NOARGS, "finish($self)\n--\n\nEnds what is still open, once every byte is fed."},
    {"take", scanner_take, METH_NOARGS, "take($self)\n--\n\n(call blocks, level runs, plugin records, texts, postings) ready to be written."},
    {"summary", scanner_summary, METH_NOARGS, "summary($self)\n--\n\nThreads, functions, callers and callees, merged paths."},
    {nullptr, nullptr, 0, nullptr},
};

PyGetSetDef scanner_getset[] = {
    {"pending_bytes", scanner_pending, nullptr, "bytes of output ready to be taken", nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyType_Slot scanner_slots[] = {
    {Py_tp_doc, const_cast<char*>("Scanner(main_thread_id=...)\n--\n\nBuilds a trace's index from its bytes.")},
    {Py_tp_init, reinterpret_cast<void*>(scanner_init)},
    {Py_tp_dealloc, reinterpret_cast<void*>(scanner_dealloc)},
    {Py_tp_methods, scanner_methods},
    {Py_tp_getset, scanner_getset},
    {Py_tp_new, reinterpret_cast<void*>(PyType_GenericNew)},
    {0, nullptr},
};

PyType_Spec scanner_spec = {"jarn._index.Scanner", sizeof(ScannerObject), 0, Py_TPFLAGS_DEFAULT, scanner_slots};

int module_exec(PyObject* module) {
    Owned type = Owned::steal(PyType_FromModuleAndSpec(module, &scanner_spec, nullptr));
    if (!type) return -1;
    if (PyModule_AddObjectRef(module, "Scanner", type.get()) != 0) return -1;
    if (PyModule_AddIntConstant(module, "CALL_ENTRY_SIZE", long(index::kCallEntrySize)) != 0) return -1;
    if (PyModule_AddIntConstant(module, "RUN_ENTRY_SIZE", long(index::kRunEntrySize)) != 0) return -1;
    return PyModule_AddIntConstant(module, "BLOCK_CALLS", long(index::kBlockCalls));
}

PyModuleDef_Slot module_slots[] = {
    {Py_mod_exec, reinterpret_cast<void*>(module_exec)},
    {0, nullptr},
};

PyModuleDef module_def = {
    PyModuleDef_HEAD_INIT, "_index", "The native index builder of stored traces.", 0, nullptr, module_slots,
    nullptr, nullptr, nullptr,
};

}  // namespace
}  // namespace jarn

PyMODINIT_FUNC PyInit__index(void) { return PyModuleDef_Init(&jarn::module_def); }
