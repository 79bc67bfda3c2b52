// Version-specific code; see cpython_compat.hpp.
#include "cpython_compat.hpp"

namespace jarn::compat {

bool interpreter_is_finalizing() { return _Py_IsFinalizing(); }

}  // namespace jarn::compat
