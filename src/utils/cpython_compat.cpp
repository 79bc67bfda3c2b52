// Version-specific code; see cpython_compat.hpp.
#include "cpython_compat.hpp"

#include "owned.hpp"

namespace jarn::compat {

bool interpreter_is_finalizing() { return _Py_IsFinalizing(); }

}  // namespace jarn::compat

namespace jarn::compat {

bool free_monitoring_tool(PyObject* monitoring, int tool_id) {
    Owned result = Owned::steal(PyObject_CallMethod(monitoring, "free_tool_id", "i", tool_id));
    return bool(result);
}

}  // namespace jarn::compat
