// What describing an object of a type needs, worked out once per type: its names, how its state
// is read, and which of the forms below it takes. A program describes the same few types over
// and over, and working these out costs more than the rest of a description. Worked out without
// running any of the program's code: only the type's own storage (its dict and MRO) is read.
#pragma once

#include <Python.h>

#include <array>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "../utils/owned.hpp"

namespace jarn {

// How an object that is neither plain nor a container is read, by its type.
enum class ObjectKind : std::uint8_t {
    instance,          // an instance of a Python class: its __slots__ and __dict__
    named_tuple,       // a tuple subclass with _fields: one field per name
    exception,         // its args and its __dict__
    django_model,      // a Django model instance: the loaded fields; the others are deferred
    web_request,       // a web framework's request (Django, Werkzeug, Starlette): its method and path
    enum_member,       // "<Color.RED: 1>"
    path,              // pathlib's PurePath and its subclasses: "PosixPath('/a/b')"
    uuid,              // "UUID('...')"
    fraction,          // "Fraction(1, 3)"
    date,              // the datetime module's value types, and their subclasses
    datetime,
    time,
    timedelta,
    c_repr,            // an exact C type of the standard library whose own repr runs no Python code
    number,            // a subclass of int, float, str or bytes: the base value's text, and its __dict__
    function,          // "<function f at 0x...>"
    type_object,       // "<class 'mod.Name'>"
    builtin_function,  // "<built-in function len>", "<built-in method append of list object at 0x...>"
    method,            // "<bound method C.f of ...>"
    module,            // "<module 'name'>"
    opaque,            // a C type whose state cannot be read: its type and address
};

struct SlotField {
    Owned name;  // a str
    Py_ssize_t offset;
    mutable bool secret = false;  // by the rules of the entry's `secrets_of`
};

// An attribute name of a class's instances, ready to write: as a MessagePack key and in a text,
// with whether its value is scrubbed by the rules of that id (0: not yet known).
struct NameTemplate {
    PyObject* name = nullptr;  // not a reference: only compared (the type's shared keys hold it)
    std::string key;           // the MessagePack str; the name itself from `text_at`
    std::size_t text_at = 0;
    std::uint64_t rules_id = 0;
    bool secret = false;

    std::string_view text() const { return std::string_view(key).substr(text_at); }
};

struct TypeEntry {
    PyTypeObject* type = nullptr;  // not a reference: only compared
    unsigned int version = 0;
    // Tells this entry from any other made at its address; 0 for an entry not kept in the table.
    std::uint64_t serial = 0;
    PyObject* qualname = nullptr;  // likewise
    const char* tp_name = nullptr;
    // The MessagePack of {"__type__": name, "repr": up to the repr's text. The name is at
    // [name_at, name_at + name_size).
    std::string head;
    std::size_t name_at = 0;
    std::size_t name_size = 0;
    bool set_like = false;      // a subclass of set or frozenset: walked, not described
    bool repr_name_ok = false;  // repr_name below is the name the default reprs show
    std::string repr_name;

    ObjectKind kind = ObjectKind::opaque;
    // The name a text starts with: the qualname of a Python class ("Outer.Point"), the bare name
    // where the type's own repr shows that (named tuples, exceptions, enums, paths...).
    std::string text_name;
    // __slots__ in the order they were written, base classes first (the storage of dataclasses
    // and attrs classes made with slots).
    std::vector<SlotField> slots;
    // The field names of a named tuple, or the attribute names of a Django model's concrete
    // fields, in their order; a web request's fields.
    std::vector<Owned> names;
    // A web request whose fields are items of its ASGI `scope` dict (Starlette's), not its own
    // attributes.
    bool fields_in_scope = false;
    // The slots of a path (its text when already made; its parts), a UUID (its int) or a
    // fraction (numerator, denominator); -1 when absent.
    Py_ssize_t slot_a = -1;
    Py_ssize_t slot_b = -1;
    // For c_repr: the standard type whose repr is run.
    Owned repr_base;
    // The names of instances' attributes by their index among the type's shared keys, made as
    // they are met.
    mutable std::vector<NameTemplate> shared_names;
    // The first of them as texts, with whether each is a secret's by the rules of `secrets_of`.
    struct SharedName {
        PyObject* name = nullptr;  // not a reference: only compared
        std::string_view text;     // the name's own UTF-8, which the type's shared keys keep
        bool secret = false;
    };
    static constexpr int kSharedNames = 32;
    mutable std::array<SharedName, kSharedNames> first_names{};
    mutable std::uint64_t secrets_of = 0;

    std::string_view name() const { return std::string_view(head).substr(name_at, name_size); }
};

// The type's entry, valid until the outermost encoding ends; null, with an exception set, when
// the type has no name to describe it by.
const TypeEntry* type_entry(PyTypeObject* type);

// Marks an encoding begun and ended: entries replaced meanwhile are freed only when the
// outermost one ends, so that an entry in use is never freed under its user.
void entries_in_use(bool begin);

// "module.QualName" as the type's own __module__ and __qualname__ give it (the qualname alone
// for builtins), read without going through a metaclass. False with an exception set.
bool type_name(PyTypeObject* type, std::string& out);

// The value of a slot at `offset` of `obj`, borrowed; null when unset.
inline PyObject* slot_value(PyObject* obj, Py_ssize_t offset) {
    return *reinterpret_cast<PyObject**>(reinterpret_cast<char*>(obj) + offset);
}

}  // namespace jarn
