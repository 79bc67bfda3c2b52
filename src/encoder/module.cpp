// jarn._encoder: the fast path of the host's value serialiser. An Encoder writes plain values
// natively and hands every other value to the Python function it was made with, so the rules for
// odd values live in one place (jarn/serialize.py) while plain data costs no Python call.
#include <Python.h>

#include "../utils/owned.hpp"
#include "native_api.hpp"
#include "value_encoder.hpp"

namespace jarn {
namespace {

struct EncoderObject {
    PyObject_HEAD
    vectorcallfunc vectorcall;
    PyObject* fallback;  // owned
    EncoderLimits limits;
    ObjectStyle objects;
};

EncoderObject* as_encoder(PyObject* self) { return reinterpret_cast<EncoderObject*>(self); }

// Reused between calls on one thread. The fallback runs Python code, which may encode another
// value on this thread before the outer encoding is done; that one gets a buffer of its own.
__attribute__((tls_model("initial-exec"))) thread_local msgpack::Buffer scratch;
__attribute__((tls_model("initial-exec"))) thread_local bool scratch_in_use = false;

bool append_encoding(PyObject* self, PyObject* value, ValueBudget* shared, msgpack::Buffer& out) {
    EncoderObject* enc = as_encoder(self);
    ValueBudget own;
    ValueBudget& budget = shared != nullptr ? *shared : own;
    start_budget(budget, enc->limits);
    switch (encode_value(value, enc->fallback, enc->limits, enc->objects, budget, out)) {
        case EncodeResult::encoded:
            return true;
        case EncodeResult::error:
            return false;
        case EncodeResult::whole_value:
            break;
    }
    // Better written by the fallback as a whole (a cycle, a container changed while walked).
    return append_fallback(enc->fallback, value, 0, budget, out);
}

PyObject* encode_with(EncoderObject* enc, PyObject* value, msgpack::Buffer& out) {
    if (!append_encoding(reinterpret_cast<PyObject*>(enc), value, nullptr, out)) return nullptr;
    return PyBytes_FromStringAndSize(reinterpret_cast<const char*>(out.data()), Py_ssize_t(out.size()));
}

PyObject* encoder_call(PyObject* self, PyObject* const* args, std::size_t nargsf, PyObject* kwnames) {
    const Py_ssize_t nargs = PyVectorcall_NARGS(nargsf);
    if (nargs != 1 || (kwnames != nullptr && PyTuple_GET_SIZE(kwnames) != 0)) {
        PyErr_SetString(PyExc_TypeError, "an Encoder takes exactly one positional argument");
        return nullptr;
    }
    EncoderObject* enc = as_encoder(self);
    if (scratch_in_use) {
        msgpack::Buffer own;
        return encode_with(enc, args[0], own);
    }
    scratch_in_use = true;
    msgpack::Buffer& out = scratch;
    out.clear();
    PyObject* result = encode_with(enc, args[0], out);
    if (out.capacity() > (1 << 20)) msgpack::Buffer().swap(out);  // do not keep a rare giant
    scratch_in_use = false;
    return result;
}

int append_map_encoding(PyObject* self, PyObject* const* keys, PyObject* const* values, std::size_t n,
                        ValueBudget* shared, msgpack::Buffer& out) {
    EncoderObject* enc = as_encoder(self);
    ValueBudget own;
    ValueBudget& budget = shared != nullptr ? *shared : own;
    start_budget(budget, enc->limits);
    switch (encode_map(keys, values, n, enc->fallback, enc->limits, enc->objects, budget, out)) {
        case EncodeResult::encoded:
            return 1;
        case EncodeResult::error:
            return -1;
        case EncodeResult::whole_value:
            break;
    }
    return 0;
}

void plain_limits(PyObject* self, ValueBudget* budget, PlainLimits* out) {
    const EncoderLimits& limits = as_encoder(self)->limits;
    start_budget(*budget, limits);
    *out = PlainLimits{limits.max_str, limits.max_items, limits.max_depth,
                       as_encoder(self)->objects != ObjectStyle::fallback};
}

EncoderNativeApi native_api = {kEncoderApiVersion, nullptr, append_encoding, append_map_encoding, plain_limits};

bool read_limit(PyObject* kwargs, const char* name, Py_ssize_t& out) {
    if (kwargs == nullptr) return true;
    PyObject* value = PyDict_GetItemString(kwargs, name);  // borrowed
    if (value == nullptr) return true;
    const Py_ssize_t v = PyNumber_AsSsize_t(value, PyExc_OverflowError);
    if (v == -1 && PyErr_Occurred()) return false;
    if (v < 0) {
        PyErr_Format(PyExc_ValueError, "%s must not be negative", name);
        return false;
    }
    out = v;
    return true;
}

PyObject* encoder_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
    PyObject* fallback;  // borrowed
    if (!PyArg_ParseTuple(args, "O:Encoder", &fallback)) return nullptr;
    if (!PyCallable_Check(fallback)) {
        PyErr_SetString(PyExc_TypeError, "the fallback of an Encoder must be callable");
        return nullptr;
    }
    EncoderLimits limits;
    static const char* const known[] = {"max_depth", "max_str",          "max_bytes",    "max_items", "max_nodes",
                                        "max_repr",  "max_record_bytes", "slow_repr_ns", "objects"};
    if (kwargs != nullptr) {
        PyObject* key;
        PyObject* value;
        Py_ssize_t pos = 0;
        while (PyDict_Next(kwargs, &pos, &key, &value)) {
            bool ok = false;
            for (const char* k : known) ok = ok || PyUnicode_CompareWithASCIIString(key, k) == 0;
            if (!ok) {
                PyErr_Format(PyExc_TypeError, "Encoder() got an unexpected keyword argument '%U'", key);
                return nullptr;
            }
        }
    }
    if (!read_limit(kwargs, "max_depth", limits.max_depth) || !read_limit(kwargs, "max_str", limits.max_str) ||
        !read_limit(kwargs, "max_bytes", limits.max_bytes) || !read_limit(kwargs, "max_items", limits.max_items) ||
        !read_limit(kwargs, "max_nodes", limits.max_nodes) || !read_limit(kwargs, "max_repr", limits.max_repr) ||
        !read_limit(kwargs, "max_record_bytes", limits.max_record_bytes)) {
        return nullptr;
    }
    Py_ssize_t slow_repr_ns = Py_ssize_t(limits.slow_repr_ns);
    if (!read_limit(kwargs, "slow_repr_ns", slow_repr_ns)) return nullptr;
    limits.slow_repr_ns = slow_repr_ns;
    ObjectStyle objects = ObjectStyle::fallback;
    PyObject* style = kwargs != nullptr ? PyDict_GetItemString(kwargs, "objects") : nullptr;  // borrowed
    if (style != nullptr) {
        if (PyUnicode_Check(style) && PyUnicode_CompareWithASCIIString(style, "repr") == 0) {
            objects = ObjectStyle::repr;
        } else if (PyUnicode_Check(style) && PyUnicode_CompareWithASCIIString(style, "address") == 0) {
            objects = ObjectStyle::by_address;
        } else if (!(PyUnicode_Check(style) && PyUnicode_CompareWithASCIIString(style, "fallback") == 0)) {
            PyErr_SetString(PyExc_ValueError, "objects must be 'fallback', 'repr' or 'address'");
            return nullptr;
        }
    }
    Owned self = Owned::steal(type->tp_alloc(type, 0));
    if (!self) return nullptr;
    EncoderObject* enc = as_encoder(self.get());
    enc->vectorcall = reinterpret_cast<vectorcallfunc>(encoder_call);
    enc->fallback = Owned::borrow(fallback).release();
    enc->limits = limits;
    enc->objects = objects;
    return self.release();
}

int encoder_traverse(PyObject* self, visitproc visit, void* arg) {
    Py_VISIT(Py_TYPE(self));
    Py_VISIT(as_encoder(self)->fallback);
    return 0;
}

int encoder_clear(PyObject* self) {
    Owned gone = Owned::steal(as_encoder(self)->fallback);
    as_encoder(self)->fallback = nullptr;
    return 0;
}

void encoder_dealloc(PyObject* self) {
    PyTypeObject* type = Py_TYPE(self);
    PyObject_GC_UnTrack(self);
    encoder_clear(self);
    type->tp_free(self);
    Owned::steal(reinterpret_cast<PyObject*>(type));  // instances of a heap type own a reference to it
}

PyObject* encoder_get_fallback(PyObject* self, void*) { return Owned::borrow(as_encoder(self)->fallback).release(); }

PyMemberDef encoder_members[] = {
    {"__vectorcalloffset__", Py_T_PYSSIZET, offsetof(EncoderObject, vectorcall), Py_READONLY, nullptr},
    {nullptr, 0, 0, 0, nullptr},
};

PyGetSetDef encoder_getset[] = {
    {"fallback", encoder_get_fallback, nullptr, "The function that encodes values that are not plain.", nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyType_Slot encoder_slots[] = {
    {Py_tp_new, reinterpret_cast<void*>(encoder_new)},
    {Py_tp_dealloc, reinterpret_cast<void*>(encoder_dealloc)},
    {Py_tp_traverse, reinterpret_cast<void*>(encoder_traverse)},
    {Py_tp_clear, reinterpret_cast<void*>(encoder_clear)},
    {Py_tp_call, reinterpret_cast<void*>(PyVectorcall_Call)},
    {Py_tp_members, encoder_members},
    {Py_tp_getset, encoder_getset},
    {Py_tp_doc, const_cast<char*>("Encoder(fallback, /, *, max_depth=16, max_str=2000, max_bytes=2000, max_items=200, "
                                  "max_nodes=5000, max_repr=500, max_record_bytes=1048576, slow_repr_ns=1000000, "
                                  "objects='fallback')\n--\n\n"
                                  "Calling it with a value returns the value's MessagePack bytes. Plain values (None, bool, "
                                  "int of at most 64 bits, float, str, bytes, and exact lists, tuples and dicts with str "
                                  "keys of them, within the limits) are written natively, exactly as msgpack.packb writes "
                                  "them; any other value met at nesting depth d is written as fallback(value, d, nodes), "
                                  "which must return bytes, or (bytes, nodes left) when it counts the nodes it may still "
                                  "write. Past max_nodes values, or max_record_bytes bytes, a value is '<too much data>'. "
                                  "A value inside itself or one changed while it is written is encoded by "
                                  "fallback(value, 0, nodes) as a whole. With objects='repr' or 'address', an object that "
                                  "is not a container is written natively as {'__type__': 'module.QualName', 'repr': "
                                  "repr(obj)} (or '<module.QualName object at 0x...>', calling none of its code), dicts "
                                  "with int keys of at most 64 bits too; a type whose __repr__ once took longer than "
                                  "slow_repr_ns is described by address for the rest of the run, with '; repr skipped: "
                                  "too slow'.")},
    {0, nullptr},
};

PyType_Spec encoder_spec = {
    "jarn._encoder.Encoder",
    sizeof(EncoderObject),
    0,
    Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_GC | Py_TPFLAGS_HAVE_VECTORCALL | Py_TPFLAGS_IMMUTABLETYPE,
    encoder_slots,
};

int module_exec(PyObject* module) {
    Owned type = Owned::steal(PyType_FromModuleAndSpec(module, &encoder_spec, nullptr));
    if (!type) return -1;
    if (PyModule_AddObjectRef(module, "Encoder", type.get()) < 0) return -1;
    // One process, one interpreter for the core: the first module's type is the one it knows.
    if (native_api.type == nullptr) native_api.type = reinterpret_cast<PyTypeObject*>(Owned::borrow(type.get()).release());
    Owned capsule = Owned::steal(PyCapsule_New(&native_api, kEncoderCapsule, nullptr));
    if (!capsule) return -1;
    return PyModule_AddObjectRef(module, "_native_api", capsule.get());
}

PyModuleDef_Slot module_slots[] = {
    {Py_mod_exec, reinterpret_cast<void*>(module_exec)},
    {Py_mod_multiple_interpreters, Py_MOD_PER_INTERPRETER_GIL_SUPPORTED},
    {0, nullptr},
};

PyModuleDef module_def = {
    PyModuleDef_HEAD_INIT, "_encoder", "Fast path of jarn's value serialiser.", 0, nullptr, module_slots,
    nullptr,           nullptr,    nullptr,
};

}  // namespace
}  // namespace jarn

PyMODINIT_FUNC PyInit__encoder(void) { return PyModuleDef_Init(&jarn::module_def); }
