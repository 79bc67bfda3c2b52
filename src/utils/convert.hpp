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

// A list of strings from a sequence. A str is refused ("Can't extract `str` to `Vec`"), as is
// anything that is not a sequence (TypeError naming 'Sequence').
bool extract_string_list(PyObject* value, std::vector<std::string>& out);

}  // namespace jarn
