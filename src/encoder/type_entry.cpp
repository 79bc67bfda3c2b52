#include "type_entry.hpp"

#include <array>
#include <cstring>
#include <memory>

#include "../utils/cpython_compat.hpp"
#include "../utils/msgpack.hpp"
#include "text_util.hpp"

namespace jarn {
namespace {

// Names looked up in types' dicts, made once and kept for good.
struct Keys {
    PyObject* module = PyUnicode_InternFromString("__module__");
    PyObject* slots = PyUnicode_InternFromString("__slots__");
    PyObject* dict = PyUnicode_InternFromString("__dict__");
    PyObject* weakref = PyUnicode_InternFromString("__weakref__");
    PyObject* fields = PyUnicode_InternFromString("_fields");
    PyObject* meta = PyUnicode_InternFromString("_meta");
    PyObject* repr = PyUnicode_InternFromString("__repr__");
    PyObject* local_fields = PyUnicode_InternFromString("local_fields");
    PyObject* abstract = PyUnicode_InternFromString("abstract");
    PyObject* attname = PyUnicode_InternFromString("attname");
    PyObject* method = PyUnicode_InternFromString("method");
    PyObject* path = PyUnicode_InternFromString("path");
};
const Keys& keys() {
    static const Keys* const k = new Keys();
    return *k;
}

// The type's own dict entry, borrowed (the dict holds it); null when absent.
PyObject* own_item(PyTypeObject* type, PyObject* key) {
    Owned dict = Owned::steal(PyType_GetDict(type));
    if (!dict) {
        PyErr_Clear();
        return nullptr;
    }
    PyObject* found = PyDict_GetItemWithError(dict.get(), key);
    if (found == nullptr) PyErr_Clear();
    return found;
}

// The first entry of that name in the type's MRO, as attribute lookup on the type finds it.
PyObject* mro_item(PyTypeObject* type, PyObject* key, PyTypeObject** owner = nullptr) {
    PyObject* mro = type->tp_mro;  // borrowed
    if (mro == nullptr || !PyTuple_Check(mro)) return nullptr;
    for (Py_ssize_t i = 0; i < PyTuple_GET_SIZE(mro); ++i) {
        auto* base = reinterpret_cast<PyTypeObject*>(PyTuple_GET_ITEM(mro, i));
        if (PyObject* found = own_item(base, key)) {
            if (owner != nullptr) *owner = base;
            return found;
        }
    }
    return nullptr;
}

// A class of a module that is imported, borrowed; null otherwise. Nothing is imported here.
PyTypeObject* imported_class(const char* module, const char* name) {
    Owned found = Owned::steal(PyImport_GetModule(Owned::steal(PyUnicode_FromString(module)).get()));
    if (!found) {
        PyErr_Clear();
        return nullptr;
    }
    if (!PyModule_Check(found.get())) return nullptr;
    PyObject* value = PyDict_GetItemString(PyModule_GetDict(found.get()), name);  // borrowed
    return value != nullptr && PyType_Check(value) ? reinterpret_cast<PyTypeObject*>(value) : nullptr;
}

bool is_subtype(PyTypeObject* type, PyTypeObject* base) { return base != nullptr && PyType_IsSubtype(type, base); }

bool own_module_is(PyTypeObject* type, const char* module) {
    PyObject* m = own_item(type, keys().module);
    return m != nullptr && PyUnicode_Check(m) && PyUnicode_CompareWithASCIIString(m, module) == 0;
}

// Whether a class of this name and module is in the MRO.
bool has_base(PyTypeObject* type, const char* name, const char* module) {
    PyObject* mro = type->tp_mro;
    if (mro == nullptr || !PyTuple_Check(mro)) return false;
    for (Py_ssize_t i = 0; i < PyTuple_GET_SIZE(mro); ++i) {
        auto* base = reinterpret_cast<PyTypeObject*>(PyTuple_GET_ITEM(mro, i));
        if ((base->tp_flags & Py_TPFLAGS_HEAPTYPE) && std::strcmp(base->tp_name, name) == 0 && own_module_is(base, module)) {
            return true;
        }
    }
    return false;
}

// The name after the last dot of tp_name: what the default reprs of exceptions and most
// standard types start with.
std::string short_name(PyTypeObject* type) {
    const char* dot = std::strrchr(type->tp_name, '.');
    return dot != nullptr ? std::string(dot + 1) : std::string(type->tp_name);
}

std::string qualified_text_name(PyTypeObject* type) {
    if (type->tp_flags & Py_TPFLAGS_HEAPTYPE) {
        PyObject* q = reinterpret_cast<PyHeapTypeObject*>(type)->ht_qualname;
        const std::string_view text = q != nullptr && PyUnicode_Check(q) ? utf8_view(q) : std::string_view();
        if (!text.empty()) return std::string(text);
    }
    return short_name(type);
}

// A slot of this name in the type's MRO: its offset, or -1.
Py_ssize_t slot_offset(PyTypeObject* type, const char* name) {
    Owned key = Owned::steal(PyUnicode_InternFromString(name));
    PyObject* found = key ? mro_item(type, key.get()) : nullptr;
    if (found == nullptr || !Py_IS_TYPE(found, &PyMemberDescr_Type)) return -1;
    const PyMemberDef* member = reinterpret_cast<PyMemberDescrObject*>(found)->d_member;
    return member->type == Py_T_OBJECT_EX ? member->offset : -1;
}

// "__x" in class "_C" is stored as "_C__x".
Owned mangled(PyTypeObject* owner, PyObject* name) {
    const std::string_view text = utf8_view(name);
    if (text.size() < 3 || text.substr(0, 2) != "__" || text.substr(text.size() - 2) == "__") return Owned::borrow(name);
    std::string_view cls = owner->tp_name;
    while (!cls.empty() && cls.front() == '_') cls.remove_prefix(1);
    if (cls.empty()) return Owned::borrow(name);
    std::string full(1, '_');
    full.append(cls).append(text);
    return Owned::steal(PyUnicode_InternFromString(full.c_str()));
}

void add_slot(std::vector<SlotField>& slots, PyTypeObject* owner, PyObject* name) {
    if (!PyUnicode_CheckExact(name) || PyUnicode_Compare(name, keys().dict) == 0 || PyUnicode_Compare(name, keys().weakref) == 0) {
        PyErr_Clear();
        return;
    }
    Owned stored = mangled(owner, name);
    if (!stored) {
        PyErr_Clear();
        return;
    }
    PyObject* desc = own_item(owner, stored.get());
    if (desc == nullptr || !Py_IS_TYPE(desc, &PyMemberDescr_Type)) return;
    const PyMemberDef* member = reinterpret_cast<PyMemberDescrObject*>(desc)->d_member;
    if (member->type != Py_T_OBJECT_EX) return;
    slots.push_back(SlotField{std::move(stored), member->offset, false});
}

// The __slots__ of the type and its bases, as each class wrote them, base classes first.
void fill_slots(PyTypeObject* type, std::vector<SlotField>& slots) {
    PyObject* mro = type->tp_mro;
    if (mro == nullptr || !PyTuple_Check(mro)) return;
    for (Py_ssize_t i = PyTuple_GET_SIZE(mro) - 1; i >= 0; --i) {
        auto* base = reinterpret_cast<PyTypeObject*>(PyTuple_GET_ITEM(mro, i));
        if (!(base->tp_flags & Py_TPFLAGS_HEAPTYPE)) continue;
        PyObject* declared = own_item(base, keys().slots);
        if (declared == nullptr) continue;
        if (PyUnicode_Check(declared)) {
            add_slot(slots, base, declared);
        } else if (PyTuple_CheckExact(declared) || PyList_CheckExact(declared)) {
            Owned items = Owned::steal(PySequence_Tuple(declared));
            if (!items) {
                PyErr_Clear();
                continue;
            }
            for (Py_ssize_t j = 0; j < PyTuple_GET_SIZE(items.get()); ++j) add_slot(slots, base, PyTuple_GET_ITEM(items.get(), j));
        } else if (PyDict_CheckExact(declared)) {
            Py_ssize_t pos = 0;
            PyObject* name;
            PyObject* doc;
            while (PyDict_Next(declared, &pos, &name, &doc)) add_slot(slots, base, name);
        }
    }
}

// An attribute of a plain instance (its __dict__), borrowed; null when absent.
PyObject* instance_item(PyObject* obj, PyObject* key) {
    compat::InstanceAttributes attributes(obj);
    PyObject* name;
    PyObject* value;
    while (attributes.next(name, value)) {
        if (name == key || (PyUnicode_CheckExact(name) && PyUnicode_Compare(name, key) == 0)) return value;
    }
    PyErr_Clear();
    return nullptr;
}

// The attribute names of a Django model's concrete fields, read from each model class's own
// Options (_meta) without computing any of its cached properties.
void fill_django_names(PyTypeObject* type, std::vector<Owned>& names) {
    PyObject* mro = type->tp_mro;
    if (mro == nullptr || !PyTuple_Check(mro)) return;
    for (Py_ssize_t i = 0; i < PyTuple_GET_SIZE(mro); ++i) {
        auto* base = reinterpret_cast<PyTypeObject*>(PyTuple_GET_ITEM(mro, i));
        if (!(base->tp_flags & Py_TPFLAGS_HEAPTYPE)) continue;
        PyObject* meta = own_item(base, keys().meta);
        if (meta == nullptr) continue;
        if (instance_item(meta, keys().abstract) == Py_True) continue;
        PyObject* fields = instance_item(meta, keys().local_fields);
        if (fields == nullptr || !PyList_CheckExact(fields)) continue;
        for (Py_ssize_t j = 0; j < PyList_GET_SIZE(fields); ++j) {
            PyObject* attname = instance_item(PyList_GET_ITEM(fields, j), keys().attname);
            if (attname == nullptr || !PyUnicode_CheckExact(attname)) continue;
            bool seen = false;
            for (const Owned& n : names) seen = seen || PyUnicode_Compare(n.get(), attname) == 0;
            if (!seen) names.push_back(Owned::borrow(attname));
        }
    }
    PyErr_Clear();
}

bool fill_named_tuple(PyTypeObject* type, std::vector<Owned>& names) {
    PyTypeObject* owner = nullptr;
    PyObject* fields = mro_item(type, keys().fields, &owner);
    if (fields == nullptr || !PyTuple_CheckExact(fields) || owner == &PyTuple_Type) return false;
    for (Py_ssize_t i = 0; i < PyTuple_GET_SIZE(fields); ++i) {
        PyObject* name = PyTuple_GET_ITEM(fields, i);
        if (!PyUnicode_CheckExact(name)) {
            names.clear();
            return false;
        }
        names.push_back(Owned::borrow(name));
    }
    return true;
}

// A C type of the standard library whose repr is its own C function (run directly, without
// looking __repr__ up) and shows nothing but the object's own plain state.
PyTypeObject* c_repr_base(PyTypeObject* type) {
    PyTypeObject* candidates[] = {&PyRange_Type,
                                  &PyComplex_Type,
                                  imported_class("decimal", "Decimal"),
                                  imported_class("re", "Pattern"),
                                  imported_class("datetime", "timezone"),
                                  imported_class("zoneinfo", "ZoneInfo")};
    for (PyTypeObject* known : candidates) {
        if (known == nullptr || !is_subtype(type, known)) continue;
        // The repr found first must be that type's own, and a C one (not a pure-Python twin's).
        PyTypeObject* owner = nullptr;
        PyObject* repr = mro_item(type, keys().repr, &owner);
        if (owner == known && repr != nullptr && Py_IS_TYPE(repr, &PyWrapperDescr_Type)) return known;
    }
    return nullptr;
}

bool datetime_base(PyTypeObject* type, const char* name) {
    PyObject* mro = type->tp_mro;
    if (mro == nullptr || !PyTuple_Check(mro)) return false;
    for (Py_ssize_t i = 0; i < PyTuple_GET_SIZE(mro); ++i) {
        auto* base = reinterpret_cast<PyTypeObject*>(PyTuple_GET_ITEM(mro, i));
        if (!(base->tp_flags & Py_TPFLAGS_HEAPTYPE) && std::strncmp(base->tp_name, "datetime.", 9) == 0 &&
            std::strcmp(base->tp_name + 9, name) == 0) {
            return true;
        }
    }
    return false;
}

// What frees an instance of a class made by a class statement (and not by a C extension, whose
// heap types free their own state): classes of Python code are told apart by it.
destructor python_class_dealloc() {
    static destructor found = [] {
        Owned probe = Owned::steal(PyObject_CallFunction(reinterpret_cast<PyObject*>(&PyType_Type), "s()O", "probe",
                                                         Owned::steal(PyDict_New()).get()));
        destructor d = probe ? reinterpret_cast<PyTypeObject*>(probe.get())->tp_dealloc : nullptr;
        PyErr_Clear();
        return d;
    }();
    return found;
}

void classify(PyTypeObject* type, TypeEntry& entry) {
    entry.text_name = short_name(type);
    ObjectKind& kind = entry.kind;
    // Only the storage of classes of Python code is read: a C extension's own types (heap types
    // too) keep their state where it cannot be.
    const bool heap = (type->tp_flags & Py_TPFLAGS_HEAPTYPE) && type->tp_dealloc == python_class_dealloc();
    if (PyType_IsSubtype(type, reinterpret_cast<PyTypeObject*>(PyExc_BaseException))) {
        kind = ObjectKind::exception;
        fill_slots(type, entry.slots);
    } else if (PyType_IsSubtype(type, &PyType_Type)) {
        kind = ObjectKind::type_object;
    } else if (type == &PyFunction_Type) {
        kind = ObjectKind::function;
    } else if (PyType_IsSubtype(type, &PyCFunction_Type)) {
        kind = ObjectKind::builtin_function;
    } else if (type == &PyMethod_Type) {
        kind = ObjectKind::method;
    } else if (PyType_IsSubtype(type, &PyModule_Type)) {
        kind = ObjectKind::module;
    } else if (is_subtype(type, imported_class("enum", "Enum"))) {
        kind = ObjectKind::enum_member;
    } else if (heap && PyType_IsSubtype(type, &PyTuple_Type) && fill_named_tuple(type, entry.names)) {
        kind = ObjectKind::named_tuple;
    } else if (heap && has_base(type, "Model", "django.db.models.base")) {
        kind = ObjectKind::django_model;
        fill_django_names(type, entry.names);
        fill_slots(type, entry.slots);
    } else if (heap && (has_base(type, "HttpRequest", "django.http.request") || has_base(type, "Request", "werkzeug.sansio.request") ||
                        has_base(type, "HTTPConnection", "starlette.requests"))) {
        // Written by its method and path alone: its environ, scope or headers hold the request's
        // cookies and credentials under names no rule knows, and each of its events would write
        // them in full (the request's own record says which request it is).
        kind = ObjectKind::web_request;
        entry.fields_in_scope = has_base(type, "HTTPConnection", "starlette.requests");
        entry.names.push_back(Owned::borrow(keys().method));
        entry.names.push_back(Owned::borrow(keys().path));
    } else if (datetime_base(type, "datetime")) {
        kind = ObjectKind::datetime;
    } else if (datetime_base(type, "date")) {
        kind = ObjectKind::date;
    } else if (datetime_base(type, "time")) {
        kind = ObjectKind::time;
    } else if (datetime_base(type, "timedelta")) {
        kind = ObjectKind::timedelta;
    } else if (is_subtype(type, imported_class("pathlib", "PurePath"))) {
        kind = ObjectKind::path;
        entry.slot_a = slot_offset(type, "_str");
        entry.slot_b = slot_offset(type, "_raw_paths");
    } else if (is_subtype(type, imported_class("uuid", "UUID"))) {
        kind = ObjectKind::uuid;
        entry.slot_a = slot_offset(type, "int");
    } else if (is_subtype(type, imported_class("fractions", "Fraction"))) {
        kind = ObjectKind::fraction;
        entry.slot_a = slot_offset(type, "_numerator");
        entry.slot_b = slot_offset(type, "_denominator");
    } else if (PyTypeObject* base = c_repr_base(type)) {
        kind = ObjectKind::c_repr;
        entry.repr_base = Owned::borrow(reinterpret_cast<PyObject*>(base));
    } else if (heap && (PyType_IsSubtype(type, &PyLong_Type) || PyType_IsSubtype(type, &PyFloat_Type) ||
                        PyType_IsSubtype(type, &PyUnicode_Type) || PyType_IsSubtype(type, &PyBytes_Type))) {
        kind = ObjectKind::number;
    } else if (heap) {
        kind = ObjectKind::instance;
        entry.text_name = qualified_text_name(type);
        fill_slots(type, entry.slots);
    } else if (std::strcmp(type->tp_name, "types.SimpleNamespace") == 0) {
        kind = ObjectKind::instance;  // its attributes are its __dict__, as its repr shows
        entry.text_name = "namespace";
    } else {
        kind = ObjectKind::opaque;
    }
    PyErr_Clear();
}

// The name object.__repr__ and type.__repr__ show, "module.QualName" or tp_name, worked out as
// they do: the module from the type's own dict for a heap type, the type's tp_name when that
// module is missing, not a str, or "builtins". False when it is not valid UTF-8.
bool repr_name(PyTypeObject* type, std::string& out) {
    PyObject* module = nullptr;  // borrowed
    if (type->tp_flags & Py_TPFLAGS_HEAPTYPE) {
        PyObject* dict = type->tp_dict;  // borrowed
        module = dict != nullptr ? PyDict_GetItemWithError(dict, keys().module) : nullptr;
        if (module == nullptr) PyErr_Clear();
        if (module != nullptr && (!PyUnicode_Check(module) || PyUnicode_CompareWithASCIIString(module, "builtins") == 0)) {
            module = nullptr;
        }
    }
    if (module == nullptr) {
        out.assign(type->tp_name);
    } else {
        PyObject* qualname = reinterpret_cast<PyHeapTypeObject*>(type)->ht_qualname;  // borrowed
        Py_ssize_t module_size, qualname_size;
        const char* m = utf8_or_none(module, module_size);
        const char* q = m != nullptr ? utf8_or_none(qualname, qualname_size) : nullptr;
        if (q == nullptr) return false;
        out.assign(m, std::size_t(module_size)).append(".").append(q, std::size_t(qualname_size));
    }
    return true;
}

PyObject* heap_qualname(PyTypeObject* type) {
    return type->tp_flags & Py_TPFLAGS_HEAPTYPE ? reinterpret_cast<PyHeapTypeObject*>(type)->ht_qualname : nullptr;
}

bool fill_entry(PyTypeObject* type, TypeEntry& entry) {
    std::string name;
    if (!type_name(type, name)) return false;
    msgpack::Buffer head;
    msgpack::write_map_header(head, 2);
    msgpack::write_str(head, "__type__");
    msgpack::write_str_header(head, name.size());
    entry.name_at = head.size();
    entry.name_size = name.size();
    msgpack::put_bytes(head, name.data(), name.size());
    msgpack::write_str(head, "repr");
    entry.head.assign(head.begin(), head.end());
    entry.set_like = PyType_IsSubtype(type, &PySet_Type) || PyType_IsSubtype(type, &PyFrozenSet_Type);
    entry.repr_name_ok = repr_name(type, entry.repr_name);
    classify(type, entry);
    return true;
}

// An entry holds while the type keeps its version tag (setattr on the type, __bases__ or a
// __repr__ set included, gives it a new one; tags are never reused, so neither is an entry by a
// new type at the old address), its qualname object and its tp_name (both may be replaced
// without a new tag). Only touched with the interpreter lock held.
// Kept for the process, never destroyed: an entry holds Python objects, which must not be
// released after the interpreter is gone.
std::array<std::unique_ptr<TypeEntry>, 256>& type_entries = *new std::array<std::unique_ptr<TypeEntry>, 256>();
std::vector<std::unique_ptr<TypeEntry>>& retired_entries = *new std::vector<std::unique_ptr<TypeEntry>>();
int encodings_running = 0;

std::unique_ptr<TypeEntry> new_entry(PyTypeObject* type) {
    auto entry = std::make_unique<TypeEntry>();
    if (!fill_entry(type, *entry)) return nullptr;
    return entry;
}

}  // namespace

bool type_name(PyTypeObject* type, std::string& out) {
    Owned qualname = Owned::steal(PyType_GetQualName(type));
    Py_ssize_t size;
    const char* q = qualname ? PyUnicode_AsUTF8AndSize(qualname.get(), &size) : nullptr;
    if (q == nullptr) return false;
    const std::string_view qual(q, std::size_t(size));
    if (type->tp_flags & Py_TPFLAGS_HEAPTYPE) {
        PyObject* dict = type->tp_dict;  // borrowed; heap types always have their own dict
        PyObject* module = dict != nullptr ? PyDict_GetItemWithError(dict, keys().module) : nullptr;
        const char* m = module != nullptr && PyUnicode_Check(module) ? PyUnicode_AsUTF8AndSize(module, &size) : nullptr;
        if (m == nullptr) {
            if (!PyErr_Occurred()) PyErr_SetString(PyExc_TypeError, "a class without a str __module__");
            return false;
        }
        const std::string_view mod(m, std::size_t(size));
        out.clear();
        if (mod != "builtins") out.append(mod).push_back('.');
        out.append(qual);
        return true;
    }
    const char* dot = std::strrchr(type->tp_name, '.');
    if (dot == nullptr) {
        out.assign(qual);
    } else {
        out.assign(type->tp_name, std::size_t(dot - type->tp_name)).append(".").append(qual);
    }
    return true;
}

void entries_in_use(bool begin) {
    if (begin) {
        ++encodings_running;
        return;
    }
    if (--encodings_running == 0 && !retired_entries.empty()) {
        // Emptied first: freeing an entry releases what it holds.
        std::vector<std::unique_ptr<TypeEntry>> gone;
        gone.swap(retired_entries);
    }
}

namespace {
std::uint64_t entries_made = 0;  // the serials given so far
}  // namespace

const TypeEntry* type_entry(PyTypeObject* type) {
    std::unique_ptr<TypeEntry>& slot = type_entries[(reinterpret_cast<std::uintptr_t>(type) >> 4) % type_entries.size()];
    TypeEntry* entry = slot.get();
    if (entry != nullptr && entry->type == type && entry->version == type->tp_version_tag && entry->version != 0 &&
        entry->qualname == heap_qualname(type) && entry->tp_name == type->tp_name) {
        return entry;
    }
    std::unique_ptr<TypeEntry> made = new_entry(type);
    if (!made) return nullptr;
    TypeEntry* result = made.get();
    if (PyUnstable_Type_AssignVersionTag(type)) {
        made->type = type;
        made->version = type->tp_version_tag;
        made->qualname = heap_qualname(type);
        made->tp_name = type->tp_name;
        made->serial = ++entries_made;
        if (slot) retired_entries.push_back(std::move(slot));
        slot = std::move(made);
    } else {
        retired_entries.push_back(std::move(made));  // not cached: kept until the encoding ends
    }
    return result;
}

}  // namespace jarn
