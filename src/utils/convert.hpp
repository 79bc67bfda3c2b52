// Conversions from Python values with the core's error messages.
#pragma once

#include <Python.h>

#include <string>
#include <string_view>
#include <vector>

namespace jarn {

// UTF-8 text of a str (valid while the object lives). Not a str: TypeError naming 'PyString';
// no UTF-8 form (lone surrogates): the interpreter's UnicodeEncodeError.
bool utf8_of(PyObject* obj, std::string_view& out);

// The text of a str as Python shows it: its UTF-8, or for a str holding lone surrogates (a file
// name with bytes that are not UTF-8, decoded with surrogateescape) the UTF-8 with each of them
// written as its escape ("\udce9"), kept in `storage`. Not a str: TypeError naming 'PyString'.
bool shown_text(PyObject* obj, std::string_view& out, std::string& storage);

// The UTF-8 text of a str as PyUnicode_AsUTF8AndSize gives it (null with the exception set when
// it has none); an ASCII str's own characters are that text, read without a function call.
inline const char* utf8_and_size(PyObject* str, Py_ssize_t& size) {
    if (PyUnicode_IS_COMPACT_ASCII(str)) {
        size = PyUnicode_GET_LENGTH(str);
        return static_cast<const char*>(PyUnicode_DATA(str));
    }
    return PyUnicode_AsUTF8AndSize(str, &size);
}

// A list of strings from a sequence. A str is refused ("Can't extract `str` to `Vec`"), as is
// anything that is not a sequence (TypeError naming 'Sequence').
bool extract_string_list(PyObject* value, std::vector<std::string>& out);

}  // namespace jarn
