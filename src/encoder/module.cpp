// jarn._encoder: the fast path of the host's value serialiser. An Encoder writes plain values
// natively and hands every other value to the Python function it was made with, so the rules for
// odd values live in one place (jarn/serialize.py) while plain data costs no Python call.
#include <Python.h>

#include <memory>
#include <string>

#include "../utils/owned.hpp"
#include "native_api.hpp"
#include "scrub.hpp"
#include "value_encoder.hpp"

namespace jarn {
namespace {

struct EncoderObject {
    PyObject_HEAD
    vectorcallfunc vectorcall;
    PyObject* fallback;  // owned
    EncoderLimits limits;
    ObjectStyle objects;
    scrub::Rules* rules;       // owned; what is scrubbed when the caller gives no rules
    PyObject* scrub_argument;  // owned; the same as the fallback is told them, null: a fallback of three arguments
};

EncoderObject* as_encoder(PyObject* self) { return reinterpret_cast<EncoderObject*>(self); }

// Reused between calls on one thread. The fallback runs Python code, which may encode another
// value on this thread before the outer encoding is done; that one gets a buffer of its own.
__attribute__((tls_model("initial-exec"))) thread_local msgpack::Buffer scratch;
__attribute__((tls_model("initial-exec"))) thread_local bool scratch_in_use = false;

// The rules that apply to an encoding: the caller's (a record's profiler) or the encoder's own.
EncodeContext context_of(EncoderObject* enc, const ValueBudget& budget) {
    const bool callers = budget.scrub != nullptr;
    PyObject* argument = enc->scrub_argument == nullptr ? nullptr : callers ? budget.scrub_argument : enc->scrub_argument;
    return EncodeContext{enc->fallback, enc->limits, enc->objects, callers ? *budget.scrub : *enc->rules, argument};
}

bool append_encoding(PyObject* self, PyObject* value, ValueBudget* shared, msgpack::Buffer& out) {
    EncoderObject* enc = as_encoder(self);
    ValueBudget own;
    ValueBudget& budget = shared != nullptr ? *shared : own;
    start_budget(budget, enc->limits);
    const EncodeContext ctx = context_of(enc, budget);
    switch (encode_value(value, ctx, budget, out)) {
        case EncodeResult::encoded:
            return true;
        case EncodeResult::error:
            return false;
        case EncodeResult::whole_value:
            break;
    }
    // Better written by the fallback as a whole (a container changed while walked).
    return append_fallback(ctx, value, 0, budget, out);
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
    switch (encode_map(keys, values, n, context_of(enc, budget), budget, out)) {
        case EncodeResult::encoded:
            return 1;
        case EncodeResult::error:
            return -1;
        case EncodeResult::whole_value:
            break;
    }
    return 0;
}

// Adds the names of a tuple to the rules.
bool add_names(PyObject* names, scrub::Rules& rules) {
    for (Py_ssize_t i = 0; i < PyTuple_GET_SIZE(names); ++i) {
        PyObject* name = PyTuple_GET_ITEM(names, i);
        Py_ssize_t size;
        const char* data = PyUnicode_Check(name) ? PyUnicode_AsUTF8AndSize(name, &size) : nullptr;
        if (data == nullptr) {
            if (!PyErr_Occurred()) PyErr_SetString(PyExc_TypeError, "scrub names must be str");
            return false;
        }
        if (!rules.add(std::string_view(data, std::size_t(size)))) {
            PyErr_Format(PyExc_ValueError, "a scrub name must have 1 to %d characters: %R", int(scrub::kLongestName), name);
            return false;
        }
    }
    return true;
}

// The rules a fallback was told: the encoder's own when it was told those, else made afresh
// (False: nothing is scrubbed; a tuple: the names added to the denylist).
bool rules_of(EncoderObject* enc, PyObject* argument, scrub::Rules& made, const scrub::Rules*& out) {
    if (argument == nullptr || argument == enc->scrub_argument) {
        out = enc->rules;
        return true;
    }
    if (argument == Py_False) {
        made.disable();
    } else if (!PyTuple_Check(argument)) {
        PyErr_SetString(PyExc_TypeError, "scrub must be False or a tuple of names");
        return false;
    } else if (!add_names(argument, made)) {
        return false;
    }
    out = &made;
    return true;
}

// Encoder.describe(value, depth, nodes, scrub=None): the bytes of one object as the encoder
// describes it, and the nodes left. For the fallback's own walk, which hands objects back.
PyObject* encoder_describe(PyObject* self, PyObject* const* args, Py_ssize_t nargs) {
    if (nargs < 3 || nargs > 4) {
        PyErr_SetString(PyExc_TypeError, "describe(value, depth, nodes, scrub=None)");
        return nullptr;
    }
    EncoderObject* enc = as_encoder(self);
    const Py_ssize_t depth = PyLong_AsSsize_t(args[1]);
    const long long nodes = PyLong_AsLongLong(args[2]);
    if ((depth == -1 || nodes == -1) && PyErr_Occurred()) return nullptr;
    scrub::Rules made;
    const scrub::Rules* rules;
    if (!rules_of(enc, nargs == 4 && args[3] != Py_None ? args[3] : nullptr, made, rules)) return nullptr;
    ValueBudget budget;
    start_budget(budget, enc->limits);
    budget.nodes = nodes - 1;  // the value itself, as the fallback counts it
    PyObject* argument = enc->scrub_argument != nullptr && nargs == 4 ? args[3] : enc->scrub_argument;
    const EncodeContext ctx{enc->fallback, enc->limits, enc->objects, *rules, argument};
    msgpack::Buffer out;
    if (encode_object(args[0], depth, ctx, budget, out) == EncodeResult::error) return nullptr;
    Owned bytes = Owned::steal(PyBytes_FromStringAndSize(reinterpret_cast<const char*>(out.data()), Py_ssize_t(out.size())));
    if (!bytes) return nullptr;
    return Py_BuildValue("(OL)", bytes.get(), static_cast<long long>(budget.nodes));
}

// Encoder.text(value, scrub=None): the value's one-line text, as the fields of objects show it.
PyObject* encoder_text(PyObject* self, PyObject* const* args, Py_ssize_t nargs) {
    if (nargs < 1 || nargs > 2) {
        PyErr_SetString(PyExc_TypeError, "text(value, scrub=None)");
        return nullptr;
    }
    EncoderObject* enc = as_encoder(self);
    scrub::Rules made;
    const scrub::Rules* rules;
    if (!rules_of(enc, nargs == 2 && args[1] != Py_None ? args[1] : nullptr, made, rules)) return nullptr;
    const EncodeContext ctx{enc->fallback, enc->limits, enc->objects, *rules, enc->scrub_argument};
    std::string text;
    if (!value_text(args[0], ctx, text)) return nullptr;
    return PyUnicode_DecodeUTF8(text.data(), Py_ssize_t(text.size()), "surrogateescape");
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
    static const char* const known[] = {"max_depth",        "max_str",      "max_bytes", "max_items", "max_nodes", "max_repr",
                                        "max_record_bytes", "slow_repr_ns", "objects",   "scrub",
                                        "max_fields_bytes", "max_shown_text"};
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
        !read_limit(kwargs, "max_record_bytes", limits.max_record_bytes) ||
        !read_limit(kwargs, "max_fields_bytes", limits.max_fields_bytes) ||
        !read_limit(kwargs, "max_shown_text", limits.max_shown_text)) {
        return nullptr;
    }
    Py_ssize_t slow_repr_ns = Py_ssize_t(limits.slow_repr_ns);
    if (!read_limit(kwargs, "slow_repr_ns", slow_repr_ns)) return nullptr;
    limits.slow_repr_ns = slow_repr_ns;
    ObjectStyle objects = ObjectStyle::fallback;
    PyObject* style = kwargs != nullptr ? PyDict_GetItemString(kwargs, "objects") : nullptr;  // borrowed
    if (style != nullptr) {
        static const std::pair<const char*, ObjectStyle> styles[] = {
            {"fallback", ObjectStyle::fallback}, {"fields", ObjectStyle::fields}, {"repr", ObjectStyle::repr},
            {"address", ObjectStyle::by_address}};
        bool found = false;
        for (const auto& [name, value] : styles) {
            if (PyUnicode_Check(style) && PyUnicode_CompareWithASCIIString(style, name) == 0) {
                objects = value;
                found = true;
            }
        }
        if (!found) {
            PyErr_SetString(PyExc_ValueError, "objects must be 'fallback', 'fields', 'repr' or 'address'");
            return nullptr;
        }
    }
    // scrub: absent, the denylist with the fallback told nothing; True or a list of names, the
    // denylist (and those) with the fallback told them; False, nothing scrubbed.
    PyObject* scrub_given = kwargs != nullptr ? PyDict_GetItemString(kwargs, "scrub") : nullptr;  // borrowed
    auto rules = std::make_unique<scrub::Rules>();
    Owned scrub_argument;
    if (scrub_given == Py_False) {
        rules->disable();
        scrub_argument = Owned::borrow(Py_False);
    } else if (scrub_given == Py_True) {
        scrub_argument = Owned::steal(PyTuple_New(0));
    } else if (scrub_given != nullptr) {
        scrub_argument = PyUnicode_Check(scrub_given) ? Owned() : Owned::steal(PySequence_Tuple(scrub_given));
        if (!scrub_argument) {
            PyErr_Clear();
            PyErr_SetString(PyExc_TypeError, "scrub must be a bool or a list of names");
            return nullptr;
        }
        if (!add_names(scrub_argument.get(), *rules)) return nullptr;
    }
    Owned self = Owned::steal(type->tp_alloc(type, 0));
    if (!self) return nullptr;
    EncoderObject* enc = as_encoder(self.get());
    enc->vectorcall = reinterpret_cast<vectorcallfunc>(encoder_call);
    enc->fallback = Owned::borrow(fallback).release();
    enc->limits = limits;
    enc->objects = objects;
    enc->rules = rules.release();
    enc->scrub_argument = scrub_argument.release();
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
    EncoderObject* enc = as_encoder(self);
    delete enc->rules;
    Owned gone = Owned::steal(enc->scrub_argument);
    type->tp_free(self);
    Owned::steal(reinterpret_cast<PyObject*>(type));  // instances of a heap type own a reference to it
}

PyObject* encoder_get_fallback(PyObject* self, void*) { return Owned::borrow(as_encoder(self)->fallback).release(); }

PyMemberDef encoder_members[] = {
    {"__vectorcalloffset__", Py_T_PYSSIZET, offsetof(EncoderObject, vectorcall), Py_READONLY, nullptr},
    {nullptr, 0, 0, 0, nullptr},
};

PyMethodDef encoder_methods[] = {
    {"describe", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(encoder_describe)), METH_FASTCALL,
     "describe(value, depth, nodes, scrub=None)\n--\n\nThe (bytes, nodes left) of one object as this encoder describes it."},
    {"text", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(encoder_text)), METH_FASTCALL,
     "text(value, scrub=None)\n--\n\nThe value's one-line text, as the fields of objects show it."},
    {nullptr, nullptr, 0, nullptr},
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
    {Py_tp_methods, encoder_methods},
    {Py_tp_getset, encoder_getset},
    {Py_tp_doc, const_cast<char*>("Encoder(fallback, /, *, max_depth=16, max_str=2000, max_bytes=2000, max_items=200, "
                                  "max_nodes=5000, max_repr=500, max_record_bytes=1048576, max_fields_bytes=2048, max_shown_text=120, "
                                  "slow_repr_ns=1000000, "
                                  "objects='fallback', scrub=<absent>)\n--\n\n"
                                  "Calling it with a value returns the value's MessagePack bytes. Plain values (None, bool, "
                                  "int of at most 64 bits, float, str, bytes, and exact lists, tuples and dicts with str "
                                  "keys of them, within the limits) are written natively, exactly as msgpack.packb writes "
                                  "them; any other value met at nesting depth d is written as fallback(value, d, nodes), "
                                  "which must return bytes, or (bytes, nodes left) when it counts the nodes it may still "
                                  "write. Past max_nodes values, or max_record_bytes bytes, a value is '<too much data>'. "
                                  "A value changed while it is written is encoded by fallback(value, 0, nodes) as a whole. "
                                  "With objects='fields', 'repr' or 'address', objects are described natively: as "
                                  "{'__type__': 'module.QualName', 'text': 'Name(a=1)', 'fields': {...}} read from their own "
                                  "storage, calling none of their code; as {'__type__': ..., 'repr': repr(obj)}; or as "
                                  "{'__type__': ..., 'repr': '<module.QualName object at 0x...>'}. A type whose __repr__ "
                                  "once took longer than slow_repr_ns (wall time) is described by address for the rest of "
                                  "the run, with '; repr skipped: too slow'. The values of dict keys and fields named as "
                                  "secrets are '[scrubbed]', as are URLs' passwords; scrub=False scrubs nothing, a list "
                                  "of names adds them to the denylist, and with scrub given the fallback gets a fourth "
                                  "argument: False, or the tuple of added names.")},
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
