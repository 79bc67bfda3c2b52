#include "code_info.hpp"

#include <new>

namespace jarn {
namespace code_info_detail {

Py_ssize_t extra_index = -1;

namespace {

// Runs when the code object is freed, with the interpreter lock held.
void free_info(void* info) { delete static_cast<CodeInfo*>(info); }

}  // namespace

CodeInfo* make(PyCodeObject* code) {
    auto* info = new (std::nothrow) CodeInfo();
    if (info == nullptr) {
        PyErr_NoMemory();
        return nullptr;
    }
    if (PyUnstable_Code_SetExtra(reinterpret_cast<PyObject*>(code), extra_index, info) < 0) {
        delete info;
        return nullptr;
    }
    return info;
}

}  // namespace code_info_detail

bool init_code_info() {
    if (code_info_detail::extra_index >= 0) return true;
    code_info_detail::extra_index = PyUnstable_Eval_RequestCodeExtraIndex(code_info_detail::free_info);
    if (code_info_detail::extra_index < 0) {
        PyErr_SetString(PyExc_ImportError, "no code object extra slot is left for jarn");
        return false;
    }
    return true;
}

const CodeInfo::Place CodeInfo::no_place{};

CodeInfo::Place& CodeInfo::add_place(const void* at) {
    if (2 * (places_used + 1) > places.size()) {
        std::vector<Place> old;
        old.swap(places);
        places.resize(old.empty() ? 8 : 2 * old.size());
        places_mask = places.size() - 1;
        table_mask = places_mask * sizeof(Place);
        table = places.data();
        places_used = 0;
        for (Place& p : old) {
            if (p.at != nullptr) add_place(p.at) = std::move(p);
        }
    }
    const std::size_t mask = places_mask;
    std::size_t i = hash(at) & mask;
    while (places[i].at != nullptr) i = (i + 1) & mask;
    Place& p = places[i];
    p.at = at;
    p.line = -1;
    p.stamp = 0;
    ++places_used;
    return p;
}

const CodeInfo::Place& CodeInfo::find_place_from(const void* at, std::size_t i) const {
    const char* const first = reinterpret_cast<const char*>(table);
    for (;; i = (i + sizeof(Place)) & table_mask) {
        const Place& p = *reinterpret_cast<const Place*>(first + i);
        if (p.at == at || p.at == nullptr) return p;
    }
}

int line_of(compat::InterpreterFrame* frame) {
    PyCodeObject* code;  // borrowed
    int offset;
    int line;
    // A trace function may set a frame's line itself (a debugger's jump): not kept.
    if (!compat::frame_place(frame, code, offset)) {
        line = compat::line_number(frame);
    } else if (CodeInfo* info = code_info(code)) {
        CodeInfo::Place& place = info->place(compat::frame_instruction(frame));
        if (place.line < 0) place.line = compat::line_number(frame);
        line = place.line;
    } else {
        PyErr_Clear();
        line = compat::line_number(frame);
    }
    // No line (a coroutine finishing while it is cancelled, for one): the code's first line
    // rather than no record at all.
    return line >= 0 ? line : compat::code_of(frame)->co_firstlineno;
}

}  // namespace jarn
