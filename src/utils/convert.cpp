#include "convert.hpp"

#include "internal_error.hpp"
#include "owned.hpp"

namespace jarn {

bool shown_text(PyObject* obj, std::string_view& out, std::string& storage) {
    if (utf8_of(obj, out)) return true;
    if (!PyUnicode_Check(obj) || !PyErr_ExceptionMatches(PyExc_UnicodeEncodeError)) return false;
    PyErr_Clear();
    Owned escaped = Owned::steal(PyUnicode_AsEncodedString(obj, "utf-8", "backslashreplace"));
    if (!escaped) return false;
    storage.assign(PyBytes_AS_STRING(escaped.get()), std::size_t(PyBytes_GET_SIZE(escaped.get())));
    out = storage;
    return true;
}

bool utf8_of(PyObject* obj, std::string_view& out) {
    if (!PyUnicode_Check(obj)) {
        raise_conversion_error(obj, "PyString");
        return false;
    }
    Py_ssize_t size;
    const char* data = PyUnicode_AsUTF8AndSize(obj, &size);
    if (data == nullptr) return false;
    out = std::string_view(data, std::size_t(size));
    return true;
}

bool extract_string_list(PyObject* value, std::vector<std::string>& out) {
    if (PyUnicode_Check(value)) {
        PyErr_SetString(PyExc_TypeError, "Can't extract `str` to `Vec`");
        return false;
    }
    if (!PySequence_Check(value)) {
        raise_conversion_error(value, "Sequence");
        return false;
    }
    Owned iterator = Owned::steal(PyObject_GetIter(value));
    if (!iterator) return false;
    std::vector<std::string> items;
    while (Owned item = Owned::steal(PyIter_Next(iterator.get()))) {
        std::string_view text;
        if (!utf8_of(item.get(), text)) return false;
        items.emplace_back(text);
    }
    if (PyErr_Occurred()) return false;
    out = std::move(items);
    return true;
}

}  // namespace jarn
