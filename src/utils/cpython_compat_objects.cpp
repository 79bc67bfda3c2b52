// Version-specific code that reads the runtime's state and objects' storage; see
// cpython_compat.hpp. The internal headers it needs only build when the core's view of Python.h
// is taken from the start, hence a unit of its own.
#define Py_BUILD_CORE 1
#include <Python.h>

#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wunused-parameter"
// 3.12's atomics header is C11 only; its GCC-builtin variant has the same layout.
#undef HAVE_STD_ATOMIC
#include "internal/pycore_ceval.h"
#include "internal/pycore_dict.h"
#include "internal/pycore_object.h"
#include "internal/pycore_pystate.h"
#include "internal/pycore_runtime.h"
#pragma GCC diagnostic pop

#include "cpython_compat.hpp"

namespace jarn::compat {
namespace {

PyObject* shared_key(const void* entries, int index) {
    return static_cast<const PyDictUnicodeEntry*>(entries)[index].me_key;
}

}  // namespace

// Read from the runtime's state in place: it is asked at every recorded event, and both
// versions' functions for it (3.12's private one, 3.13's public one) cost a call into the
// interpreter to read one word.
bool interpreter_is_finalizing() { return _PyRuntimeState_GetFinalizing(&_PyRuntime) != nullptr; }

InstanceAttributes::InstanceAttributes(PyObject* obj) {
    PyTypeObject* type = Py_TYPE(obj);
    if (!(type->tp_flags & Py_TPFLAGS_MANAGED_DICT)) {
        if (type->tp_dictoffset > 0) dict_ = *reinterpret_cast<PyObject**>(reinterpret_cast<char*>(obj) + type->tp_dictoffset);
        return;
    }
    PyDictValues* values = nullptr;
#if defined(JARN_CPYTHON_3_12)
    // A tagged pointer before the object: its dict, or its inline values. The values are preceded
    // by the insertion order, backwards: [-2] their count, [-3 - i] the key index of the i-th.
    const PyDictOrValues dorv = *_PyObject_DictOrValuesPointer(obj);
    if (!_PyDictOrValues_IsValues(dorv)) {
        dict_ = dorv.dict;
        return;
    }
    values = _PyDictOrValues_GetValues(dorv);
    const unsigned char* prefix = reinterpret_cast<const unsigned char*>(values);
    size_ = prefix[-2];
    order_ = prefix - 3;
    order_step_ = -1;
#else
    // The dict when one was made (it may share the inline values); else the values inline after
    // the object header, followed by their insertion order, while they are valid.
    if (PyDictObject* dict = _PyObject_GetManagedDict(obj)) {
        dict_ = reinterpret_cast<PyObject*>(dict);
        return;
    }
    if (!(type->tp_flags & Py_TPFLAGS_INLINE_VALUES)) return;
    values = _PyObject_InlineValues(obj);
    if (!values->valid) return;
    size_ = values->size;
    order_ = reinterpret_cast<const unsigned char*>(&values->values[values->capacity]);
    order_step_ = 1;
#endif
    PyDictKeysObject* keys = reinterpret_cast<PyHeapTypeObject*>(type)->ht_cached_keys;
    values_ = values->values;
    if (keys == nullptr || keys->dk_kind == DICT_KEYS_GENERAL) {
        size_ = 0;
        return;
    }
    keys_ = DK_UNICODE_ENTRIES(keys);
}

bool InstanceAttributes::next(PyObject*& name, PyObject*& value) {
    if (dict_ != nullptr) {
        while (PyDict_Next(dict_, &pos_, &name, &value)) {
            if (PyUnicode_Check(name)) return true;
        }
        return false;
    }
    while (index_ < size_) {
        const int at = order_[index_ * order_step_];
        ++index_;
        if (values_[at] == nullptr) continue;
        name = shared_key(keys_, at);
        value = values_[at];
        return true;
    }
    return false;
}

int read_instance_attributes(PyObject* obj, PyObject** names, PyObject** values, int* keys, int room) {
    InstanceAttributes attributes(obj);
    int n = 0;
    if (attributes.dict_ == nullptr) {
        // Inline values: read straight from the arrays.
        for (int i = 0; i < attributes.size_; ++i) {
            const int at = attributes.order_[i * attributes.order_step_];
            PyObject* value = attributes.values_[at];
            if (value == nullptr) continue;
            if (n == room) return -1;
            names[n] = shared_key(attributes.keys_, at);
            values[n] = value;
            keys[n++] = at;
        }
        return n;
    }
    PyObject* name;
    PyObject* value;
    while (attributes.next(name, value)) {
        if (n == room) return -1;
        names[n] = name;
        values[n] = value;
        keys[n++] = -1;
    }
    return n;
}

namespace {

int deferral_depth = 0;            // guarded by the interpreter lock; only the main thread changes it
unsigned long real_main_thread = 0;

}  // namespace

DeferredSignals::DeferredSignals() {
    if (deferral_depth > 0) {
        // Nested on the main thread: the first one holds them off.
        active_ = PyThread_get_thread_ident() == real_main_thread;
        if (active_) ++deferral_depth;
        return;
    }
    // Only the main thread handles signals (in the main interpreter; one of another is let be).
    const unsigned long self = PyThread_get_thread_ident();
    if (self != _PyRuntime.main_thread) return;
    real_main_thread = self;
    _PyRuntime.main_thread = 0;  // no thread has this id (PyThread_get_thread_ident is never 0)
    deferral_depth = 1;
    active_ = true;
}

DeferredSignals::~DeferredSignals() {
    if (!active_ || --deferral_depth > 0) return;
    _PyRuntime.main_thread = real_main_thread;
    // A signal that arrived meanwhile is still marked as tripped, but the eval loop may have
    // stopped looking (it looks only while it can handle them): tell it to look again.
#if defined(JARN_CPYTHON_3_12)
    if (_Py_atomic_load(&_PyRuntime.signals.is_tripped)) _PyEval_SignalReceived(_PyInterpreterState_Main());
#else
    if (_Py_atomic_load_int(&_PyRuntime.signals.is_tripped) && _PyRuntime.main_tstate != nullptr) {
        _Py_set_eval_breaker_bit(_PyRuntime.main_tstate, _PY_SIGNALS_PENDING_BIT);
    }
#endif
}

}  // namespace jarn::compat
