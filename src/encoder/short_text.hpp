// The one-line text of a value, as its repr would read for plain values, containers and the
// standard library's value types, and in the style of a dataclass for other objects
// ("Point(x=1, y=2)"), made from the object's own storage without calling any of its code.
// Secrets are scrubbed in it as in the fields. A text longer than its limit is cut and ends
// with "...".
#pragma once

#include <Python.h>

#include <cstring>
#include <string>

#include "fields.hpp"
#include "scrub.hpp"
#include "text_util.hpp"
#include "type_entry.hpp"

namespace jarn {

class TextWriter {
public:
    // Writes into `buffer`, which has room for `limit` bytes and the 3 of a cut text's "...".
    TextWriter(char* buffer, std::size_t limit, const scrub::Rules& rules)
        : start_(buffer), at_(buffer), end_(buffer + limit), limit_(limit), rules_(rules) {}

    // The text of any value. False with an exception set only for an exception that is not an
    // Exception (the encoder lets such through); anything else unreadable gets a placeholder.
    bool value(PyObject* v, int depth = 0);
    // The text of an object of this (already looked up) type.
    bool object(PyObject* v, const TypeEntry& type, int depth);
    // The same for an object with fields whose fields were read already: "Name(a=1, b=2)".
    bool with_fields(PyObject* v, const TypeEntry& type, const Fields& fields, int depth);
    // Ends the text: "..." after it when it was cut.
    void finish();
    std::string_view text() const { return {start_, std::size_t(at_ - start_)}; }
    bool full() const { return cut_; }

    // Pieces of a text, for a writer that walks the value itself (the encoder writing an
    // object's fields makes its text on the way).
    void put(std::string_view s) {
        if (s.size() <= std::size_t(end_ - at_)) {
            copy_bytes(at_, s.data(), s.size());
            at_ += s.size();
        } else {
            cut(s);
        }
    }
    template <std::size_t N>
    void put(const char (&literal)[N]) {  // a literal's bytes, copied with moves of known size
        constexpr std::size_t n = N - 1;
        if (n <= std::size_t(end_ - at_)) {
            std::memcpy(at_, literal, n);
            at_ += n;
        } else {
            cut(std::string_view(literal, n));
        }
    }
    void put(char c) {
        if (at_ < end_) {
            *at_++ = c;
        } else {
            cut(std::string_view(&c, 1));
        }
    }
    // A str's text as repr() quotes it.
    void text_of_str(std::string_view text);
    // "re.compile('...')" as a compiled pattern's repr reads; false when it is not one this
    // reads (a pattern of bytes).
    bool pattern(PyObject* v);
    void integer(PyObject* v);
    void integer(long long v);
    void floating(double v);

private:
    void cut(std::string_view s);
    void str(PyObject* s);
    bool escaped(std::string_view text, char quote);
    void put_escape(const char* piece, std::size_t n) {  // a few bytes: no call to memcpy
        if (n <= std::size_t(end_ - at_)) {
            for (std::size_t i = 0; i < n; ++i) at_[i] = piece[i];
            at_ += n;
        } else {
            cut(std::string_view(piece, n));
        }
    }
    void quoted_prefix(PyObject* s, std::size_t code_points);
    bool c_repr(PyObject* v, reprfunc repr);
    bool sequence(PyObject* v, char open, char close, int depth);
    bool mapping(PyObject* v, int depth);
    bool fields_text(PyObject* v, const TypeEntry& type, const Fields& fields, int depth);
    bool known_text(PyObject* v, const TypeEntry& type, int depth);
    void address(PyObject* v, const TypeEntry& type);
    bool enter(PyObject* v, int depth);
    void leave() { --open_; }

    char* start_;
    char* at_;
    char* end_;
    std::size_t limit_;
    const scrub::Rules& rules_;
    bool cut_ = false;
    // The containers and objects whose text is being written, for a value inside itself.
    PyObject* path_[16] = {};
    int open_ = 0;
};

// Python's repr of a float, into `out` (at most 32 bytes).
std::size_t float_repr(double v, char* out);

}  // namespace jarn
