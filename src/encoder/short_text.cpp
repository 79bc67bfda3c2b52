#include "short_text.hpp"

#define _PY_DATETIME_IMPL  // only the object layouts are read: no C API capsule is imported
#include <datetime.h>

#include <array>
#include <charconv>
#include <cmath>
#include <cstring>

#include "../utils/cpython_compat.hpp"
#include "fields.hpp"
#include "text_util.hpp"

namespace jarn {
namespace {

constexpr int kMaxDepth = 12;  // containers and objects nested deeper read "..." (the byte limit comes first)

PyObject* interned(const char* text) { return PyUnicode_InternFromString(text); }  // kept for good

// An attribute in the instance's own __dict__, borrowed; null when absent.
PyObject* own_attribute(PyObject* v, PyObject* key) {
    compat::InstanceAttributes attributes(v);
    PyObject* name;
    PyObject* value;
    while (attributes.next(name, value)) {
        if (name == key || (PyUnicode_CheckExact(name) && PyUnicode_Compare(name, key) == 0)) return value;
    }
    return nullptr;
}

std::string_view digits(long long v, char (&buf)[24]) {
    const auto r = std::to_chars(buf, buf + sizeof buf, v);
    return {buf, std::size_t(r.ptr - buf)};
}

// A path's text as str() gives it on POSIX, from the arguments it was made of: joined as
// os.path.join would, one root kept ("//" when it starts with exactly two slashes), empty and
// "." parts dropped.
bool posix_path_text(PyObject* raw, std::string& out) {
    if (!PyList_CheckExact(raw) && !PyTuple_CheckExact(raw)) return false;
    Owned items = Owned::steal(PySequence_Tuple(raw));
    if (!items) {
        PyErr_Clear();
        return false;
    }
    std::string joined;
    for (Py_ssize_t i = 0; i < PyTuple_GET_SIZE(items.get()); ++i) {
        PyObject* part = PyTuple_GET_ITEM(items.get(), i);
        if (!PyUnicode_CheckExact(part)) return false;
        const std::string_view text = utf8_view(part);
        if (!text.empty() && text.front() == '/') {
            joined.assign(text);
        } else if (!text.empty()) {
            if (!joined.empty() && joined.back() != '/') joined.push_back('/');
            joined.append(text);
        }
    }
    std::string_view rest = joined;
    out.clear();
    if (rest.size() >= 2 && rest.substr(0, 2) == "//" && (rest.size() == 2 || rest[2] != '/')) {
        out.assign(2, '/');
    } else if (!rest.empty() && rest.front() == '/') {
        out.assign(1, '/');
    }
    const std::size_t root = out.size();
    while (!rest.empty()) {
        const std::size_t slash = rest.find('/');
        const std::string_view part = rest.substr(0, slash);
        rest = slash == std::string_view::npos ? std::string_view() : rest.substr(slash + 1);
        if (part.empty() || part == ".") continue;
        if (out.size() > root) out.push_back('/');
        out.append(part);
    }
    if (out.empty()) out.assign(1, '.');
    return true;
}

}  // namespace

namespace {

// Python's repr of a float that has few decimals and is at least 1e-4 and below 2**53: the
// fewest decimals k for which round(v * 10**k) / 10**k reads back as v (a correctly rounded
// division of exactly held numbers). 0 when there is no such k up to 6: Ryu's way then.
std::size_t short_float_repr(double v, char* out) {
    static constexpr double powers[] = {1, 10, 100, 1000, 10000, 100000, 1000000};
    const double magnitude = std::fabs(v);
    if (!(magnitude >= 1e-4 && magnitude < 9007199254740992.0)) return 0;
    for (int k = 0; k <= 6; ++k) {
        // Rounded half up: a value exactly halfway has no k-decimal form that reads back anyway.
        const double product = magnitude * powers[k];
        if (product >= 1125899906842624.0) return 0;  // 2**50: the product is off by well under one
        const long long rounded = static_cast<long long>(product + 0.5);
        if (static_cast<double>(rounded) / powers[k] != magnitude) continue;
        // A neighbour that reads back as v too: which one repr shows needs exact arithmetic.
        if (static_cast<double>(rounded - 1) / powers[k] == magnitude ||
            static_cast<double>(rounded + 1) / powers[k] == magnitude) {
            return 0;
        }
        char digits[24];
        const auto r = std::to_chars(digits, digits + sizeof digits, rounded);
        const std::size_t n = std::size_t(r.ptr - digits);
        const std::size_t decimals = std::size_t(k);
        char* at = out;
        if (std::signbit(v)) *at++ = '-';
        if (decimals == 0) {
            if (n > 16) return 0;  // 1e16 and up are written with an exponent
            copy_bytes(at, digits, n);
            at += n;
            *at++ = '.';
            *at++ = '0';
            return std::size_t(at - out);
        }
        if (n <= decimals) {  // 0.00ddd
            *at++ = '0';
            *at++ = '.';
            for (std::size_t i = n; i < decimals; ++i) *at++ = '0';
            copy_bytes(at, digits, n);
            return std::size_t(at + n - out);
        }
        copy_bytes(at, digits, n - decimals);
        at += n - decimals;
        *at++ = '.';
        copy_bytes(at, digits + n - decimals, decimals);
        return std::size_t(at + decimals - out);
    }
    return 0;
}

}  // namespace

std::size_t float_repr(double v, char* out) {
    if (v == 0) {
        std::memcpy(out, "-0.0", 4);
        return std::signbit(v) ? 4 : (std::memcpy(out, "0.0", 3), 3);
    }
    if (const std::size_t n = short_float_repr(v, out)) return n;
    char* at = out;
    if (std::isnan(v)) {
        std::memcpy(out, "nan", 3);
        return 3;
    }
    if (std::signbit(v)) *at++ = '-';
    if (std::isinf(v)) {
        std::memcpy(at, "inf", 3);
        return std::size_t(at + 3 - out);
    }
    // The shortest digits that read back as v, and where the point goes, as repr() finds them.
    char sci[32];
    const auto r = std::to_chars(sci, sci + sizeof sci, std::fabs(v), std::chars_format::scientific);
    const char* e = static_cast<const char*>(std::memchr(sci, 'e', std::size_t(r.ptr - sci)));
    char digits[20];
    int n = 0;
    for (const char* p = sci; p < e; ++p) {
        if (*p != '.') digits[n++] = *p;
    }
    int exponent = 0;
    std::from_chars(e + (e[1] == '+' ? 2 : 1), r.ptr, exponent);
    const int point = exponent + 1;  // digits before the decimal point
    if (point > -4 && point <= 16) {
        if (point <= 0) {
            *at++ = '0';
            *at++ = '.';
            for (int i = point; i < 0; ++i) *at++ = '0';
            std::memcpy(at, digits, std::size_t(n));
            at += n;
        } else if (point >= n) {
            std::memcpy(at, digits, std::size_t(n));
            at += n;
            for (int i = n; i < point; ++i) *at++ = '0';
            *at++ = '.';
            *at++ = '0';
        } else {
            std::memcpy(at, digits, std::size_t(point));
            at += point;
            *at++ = '.';
            std::memcpy(at, digits + point, std::size_t(n - point));
            at += n - point;
        }
    } else {
        *at++ = digits[0];
        if (n > 1) {
            *at++ = '.';
            std::memcpy(at, digits + 1, std::size_t(n - 1));
            at += n - 1;
        }
        *at++ = 'e';
        *at++ = exponent < 0 ? '-' : '+';
        const int magnitude = exponent < 0 ? -exponent : exponent;
        if (magnitude < 10) *at++ = '0';
        at = std::to_chars(at, at + 4, magnitude).ptr;
    }
    return std::size_t(at - out);
}

void TextWriter::cut(std::string_view s) {
    if (cut_) return;
    std::size_t keep = std::min(std::size_t(end_ - at_), s.size());
    while (keep > 0 && keep < s.size() && (static_cast<unsigned char>(s[keep]) & 0xc0) == 0x80) --keep;  // not inside a character
    std::memcpy(at_, s.data(), keep);
    at_ += keep;
    end_ = at_;  // nothing more goes in
    cut_ = true;
}

void TextWriter::finish() {
    if (!cut_) return;
    std::memcpy(at_, "...", 3);
    at_ += 3;
}

bool TextWriter::enter(PyObject* v, int depth) {
    if (depth >= kMaxDepth || open_ >= int(std::size(path_))) {
        put("...");
        return false;
    }
    for (int i = 0; i < open_; ++i) {
        if (path_[i] == v) {
            put("...");
            return false;
        }
    }
    path_[open_++] = v;
    return true;
}

// For repr's quoting: 1 a single quote, 2 a double quote, 4 what repr escapes or does not keep
// as it is (control characters, the backslash, anything beyond ASCII).
constexpr auto kQuoting = [] {
    std::array<unsigned char, 256> t{};
    for (int c = 0; c < 256; ++c) t[std::size_t(c)] = c < 0x20 || c >= 0x7f || c == '\\' ? 4 : c == '\'' ? 1 : c == '"' ? 2 : 0;
    return t;
}();

namespace {

constexpr char kHex[] = "0123456789abcdef";

// The code point that valid UTF-8 starts with at `p`, and how many bytes it takes; 0 for bytes
// that are not valid UTF-8 (overlong forms and encoded surrogates included).
std::size_t decode_utf8(const unsigned char* p, const unsigned char* end, Py_UCS4& ch) {
    const std::size_t left = std::size_t(end - p);
    const unsigned char b0 = p[0];
    const auto tail = [&](std::size_t i) { return i < left && (p[i] & 0xc0) == 0x80; };
    if (b0 < 0x80) {
        ch = b0;
        return 1;
    }
    if (b0 >= 0xc2 && b0 <= 0xdf && tail(1)) {
        ch = Py_UCS4(b0 & 0x1f) << 6 | (p[1] & 0x3f);
        return 2;
    }
    if (b0 >= 0xe0 && b0 <= 0xef && tail(1) && tail(2)) {
        ch = Py_UCS4(b0 & 0x0f) << 12 | Py_UCS4(p[1] & 0x3f) << 6 | (p[2] & 0x3f);
        return ch >= 0x800 && !(ch >= 0xd800 && ch <= 0xdfff) ? 3 : 0;
    }
    if (b0 >= 0xf0 && b0 <= 0xf4 && tail(1) && tail(2) && tail(3)) {
        ch = Py_UCS4(b0 & 0x07) << 18 | Py_UCS4(p[1] & 0x3f) << 12 | Py_UCS4(p[2] & 0x3f) << 6 | (p[3] & 0x3f);
        return ch >= 0x10000 && ch <= 0x10ffff ? 4 : 0;
    }
    return 0;
}

std::size_t encode_utf8(Py_UCS4 ch, char* out) {
    if (ch < 0x80) {
        out[0] = char(ch);
        return 1;
    }
    if (ch < 0x800) {
        out[0] = char(0xc0 | (ch >> 6));
        out[1] = char(0x80 | (ch & 0x3f));
        return 2;
    }
    if (ch < 0x10000) {
        out[0] = char(0xe0 | (ch >> 12));
        out[1] = char(0x80 | ((ch >> 6) & 0x3f));
        out[2] = char(0x80 | (ch & 0x3f));
        return 3;
    }
    out[0] = char(0xf0 | (ch >> 18));
    out[1] = char(0x80 | ((ch >> 12) & 0x3f));
    out[2] = char(0x80 | ((ch >> 6) & 0x3f));
    out[3] = char(0x80 | (ch & 0x3f));
    return 4;
}

// What repr() writes for one code point of a str quoted with `quote`: its escape, or the
// character itself when repr keeps it. Into `out` (10 bytes); returns the bytes written, with
// `width` the characters they are (a kept character is one, whatever its UTF-8 length).
std::size_t repr_of(Py_UCS4 ch, char quote, char* out, std::size_t& width) {
    std::size_t n;
    if (ch < 0x80) {
        out[0] = '\\';
        if (ch == Py_UCS4(static_cast<unsigned char>(quote)) || ch == '\\') {
            out[1] = char(ch);
            n = 2;
        } else if (ch == '\t' || ch == '\n' || ch == '\r') {
            out[1] = ch == '\t' ? 't' : ch == '\n' ? 'n' : 'r';
            n = 2;
        } else if (ch < ' ' || ch == 0x7f) {
            out[1] = 'x';
            out[2] = kHex[ch >> 4];
            out[3] = kHex[ch & 0xf];
            n = 4;
        } else {
            out[0] = char(ch);
            n = 1;
        }
        width = n;
        return n;
    }
    if (Py_UNICODE_ISPRINTABLE(ch)) {
        width = 1;
        return encode_utf8(ch, out);
    }
    const int digits = ch <= 0xff ? 2 : ch <= 0xffff ? 4 : 8;
    out[0] = '\\';
    out[1] = digits == 2 ? 'x' : digits == 4 ? 'u' : 'U';
    for (int i = 0; i < digits; ++i) out[2 + i] = kHex[(ch >> (4 * (digits - 1 - i))) & 0xf];
    width = std::size_t(2 + digits);
    return width;
}

// Whether the text holds a single quote, and whether it holds both kinds (blocks of it at a
// time, which the compiler reads many characters at once).
template <typename Char>
void find_quotes(const Char* text, Py_ssize_t length, bool& single, bool& both) {
    bool s = false;
    bool d = false;
    for (Py_ssize_t at = 0; at < length && !(s && d); at += 256) {
        const Py_ssize_t end = std::min(length, at + 256);
        for (Py_ssize_t i = at; i < end; ++i) {
            s |= text[i] == Char('\'');
            d |= text[i] == Char('"');
        }
    }
    single = s;
    both = s && d;
}

}  // namespace

void TextWriter::text_of_str(std::string_view text) {
    // Quoted as repr() quotes: '...' unless the text holds ' and no ", the characters repr
    // escapes written as it writes them.
    unsigned seen = 0;
    for (unsigned char c : text) seen |= kQuoting[c];
    if (seen < 3) {
        const char quote = seen == 1 ? '"' : '\'';
        if (text.size() + 2 <= std::size_t(end_ - at_)) {
            *at_ = quote;
            copy_bytes(at_ + 1, text.data(), text.size());
            at_[text.size() + 1] = quote;
            at_ += text.size() + 2;
            return;
        }
        put(quote);
        put(text);
        put(quote);
        return;
    }
    if (escaped(text, (seen & 3) == 1 ? '"' : '\'')) return;
    // Not UTF-8 that a str gives: read as repr reads what the bytes decode to.
    Owned s = Owned::steal(PyUnicode_DecodeUTF8(text.data(), Py_ssize_t(text.size()), "surrogatepass"));
    Owned r = s ? Owned::steal(PyUnicode_Type.tp_repr(s.get())) : Owned();
    const std::string_view quoted = r ? utf8_view(r.get()) : std::string_view();
    if (quoted.empty()) {
        PyErr_Clear();
        put("'?'");
        return;
    }
    put(quoted);
}

bool TextWriter::escaped(std::string_view text, char quote) {
    char* const at = at_;
    char* const end = end_;
    const bool was_cut = cut_;
    const auto* p = reinterpret_cast<const unsigned char*>(text.data());
    const auto* const stop = p + text.size();
    put(quote);
    char piece[10];
    while (p < stop) {
        const unsigned char* run = p;
        while (p < stop && kQuoting[*p] == 0) ++p;  // printable ASCII but quotes: as it is
        if (p > run) put(std::string_view(reinterpret_cast<const char*>(run), std::size_t(p - run)));
        if (p == stop) break;
        Py_UCS4 ch;
        const std::size_t n = decode_utf8(p, stop, ch);
        if (n == 0) {
            at_ = at;
            end_ = end;
            cut_ = was_cut;
            return false;
        }
        if (!cut_) {
            std::size_t width;
            const std::size_t written = repr_of(ch, quote, piece, width);
            put_escape(piece, written);
        }
        p += n;
    }
    put(quote);
    return true;
}

void TextWriter::quoted_prefix(PyObject* s, std::size_t code_points) {
    const int kind = PyUnicode_KIND(s);
    const void* data = PyUnicode_DATA(s);
    const Py_ssize_t length = PyUnicode_GET_LENGTH(s);
    // The quote is chosen from the whole str, as repr does, however little of it is shown.
    bool has_single = false;
    bool has_double = false;
    if (kind == PyUnicode_1BYTE_KIND) {
        has_single = std::memchr(data, '\'', std::size_t(length)) != nullptr;
        has_double = has_single && std::memchr(data, '"', std::size_t(length)) != nullptr;
    } else if (kind == PyUnicode_2BYTE_KIND) {
        find_quotes(static_cast<const Py_UCS2*>(data), length, has_single, has_double);
    } else {
        find_quotes(static_cast<const Py_UCS4*>(data), length, has_single, has_double);
    }
    const char quote = has_single && !has_double ? '"' : '\'';
    std::size_t left = code_points;
    if (left == 0) return;
    put(quote);
    --left;
    char piece[10];
    for (Py_ssize_t i = 0; i < length && left > 0 && !cut_; ++i) {
        std::size_t width;
        const std::size_t written = repr_of(PyUnicode_READ(kind, data, i), quote, piece, width);
        if (width > left) {  // only an escape is wider than one character: cut inside it
            put_escape(piece, left);
            return;
        }
        put_escape(piece, written);
        left -= width;
    }
    if (left > 0) put(quote);
}

namespace {

constexpr std::size_t kShownOfPattern = 200;  // characters of its source a pattern's repr shows
constexpr Py_ssize_t kQuotedAtOnce = 64;      // a source longer than this is quoted once

// The quoted start of a long pattern source, kept with the str it is made from. A str cannot
// change and, held here, keeps its address; it has no finaliser and no weak references, so
// holding a few changes nothing the program could see. A lexer's patterns are shown in many of
// its records, each time quoted from a scan of its whole source.
struct QuotedSource {
    Owned source;
    std::string quoted;
};

QuotedSource& quoted_source(PyObject* text) {
    // Never freed: no destructor may run once the interpreter is gone.
    static auto* const known = new std::array<QuotedSource, 64>();
    return (*known)[(reinterpret_cast<std::uintptr_t>(text) >> 4) % known->size()];
}

}  // namespace

bool TextWriter::pattern(PyObject* v) {
    static PyObject* const pattern_key = interned("pattern");
    static PyObject* const flags_key = interned("flags");
    // The flags as sre's own constants, in the order its repr names them.
    static constexpr struct {
        const char* name;
        long value;
    } kFlags[] = {{"re.IGNORECASE", 2}, {"re.LOCALE", 4},  {"re.MULTILINE", 8}, {"re.DOTALL", 16},
                  {"re.UNICODE", 32},   {"re.VERBOSE", 64}, {"re.DEBUG", 128},   {"re.ASCII", 256}};
    constexpr long locale = 4, unicode = 32, ascii = 256;
    // Members of the C type, which cannot be subclassed: reading them runs no Python code.
    Owned source = Owned::steal(PyObject_GetAttr(v, pattern_key));
    Owned flags_value = source && PyUnicode_Check(source.get()) ? Owned::steal(PyObject_GetAttr(v, flags_key)) : Owned();
    if (!flags_value || !PyLong_Check(flags_value.get())) {
        PyErr_Clear();
        return false;
    }
    long flags = PyLong_AsLong(flags_value.get());
    if (flags == -1 && PyErr_Occurred()) {
        PyErr_Clear();
        return false;
    }
    if ((flags & (locale | unicode | ascii)) == unicode) flags &= ~unicode;  // what a str pattern is anyway
    put("re.compile(");
    PyObject* text = source.get();
    if (PyUnicode_CheckExact(text) && PyUnicode_GET_LENGTH(text) > kQuotedAtOnce) {
        QuotedSource& known = quoted_source(text);
        if (known.source.get() != text) {
            std::string room(kShownOfPattern * 10 + 2, '\0');  // an escape is at most ten bytes
            TextWriter whole(room.data(), room.size(), rules_);
            whole.quoted_prefix(text, kShownOfPattern);
            known.quoted.assign(whole.text());
            known.source = Owned::borrow(text);
        }
        put(known.quoted);
    } else {
        quoted_prefix(text, kShownOfPattern);
    }
    const char* sep = ", ";
    for (const auto& flag : kFlags) {
        if ((flags & flag.value) == 0) continue;
        put(sep);
        put(std::string_view(flag.name));
        sep = "|";
        flags &= ~flag.value;
    }
    if (flags != 0) {
        put(sep);
        put("0x");
        char buf[16];
        const auto r = std::to_chars(buf, buf + sizeof buf, static_cast<unsigned>(flags), 16);
        put(std::string_view(buf, std::size_t(r.ptr - buf)));
    }
    put(')');
    return true;
}

void TextWriter::str(PyObject* s) {
    Py_ssize_t size;
    const char* data = utf8_and_size(s, size);
    if (data == nullptr) {
        // Lone surrogates: repr shows them escaped.
        PyErr_Clear();
        quoted_prefix(s, std::size_t(-1));
        return;
    }
    std::string_view text(data, std::size_t(size));
    std::string scrubbed;
    if (scrub::Rules::looks_like_url(text) && rules_.scrub_url(text, scrubbed)) text = scrubbed;
    // A long str is cut anyway: only its start is looked at, whole characters of it.
    if (text.size() > limit_ + 1) {
        std::size_t keep = limit_ + 1;
        while (keep > 0 && (static_cast<unsigned char>(text[keep]) & 0xc0) == 0x80) --keep;
        text = text.substr(0, keep);
    }
    text_of_str(text);
}

bool TextWriter::c_repr(PyObject* v, reprfunc repr) {
    Owned text = Owned::steal(repr(v));
    if (!text) {
        PyErr_Clear();
        return false;
    }
    put(utf8_view(text.get()));
    PyErr_Clear();
    return true;
}

void TextWriter::integer(PyObject* v) {
    int overflow = 0;
    const long long s = PyLong_AsLongLongAndOverflow(v, &overflow);
    char buf[24];
    if (overflow == 0) {
        put(digits(s, buf));
        return;
    }
    // The interpreter's own decimal text (C; refused past the program's digit limit).
    if (!c_repr(v, PyLong_Type.tp_repr)) put("<int too large to show>");
}

void TextWriter::integer(long long v) {
    char buf[24];
    put(digits(v, buf));
}

void TextWriter::floating(double v) {
    char buf[32];
    put(std::string_view(buf, float_repr(v, buf)));
}

bool TextWriter::value(PyObject* v, int depth) {
    if (cut_) return true;
    PyTypeObject* type = Py_TYPE(v);
    if (type == &PyUnicode_Type) {
        str(v);
    } else if (v == Py_None) {
        put("None");
    } else if (v == Py_True) {
        put("True");
    } else if (v == Py_False) {
        put("False");
    } else if (type == &PyLong_Type) {
        integer(v);
    } else if (type == &PyFloat_Type) {
        floating(PyFloat_AS_DOUBLE(v));
    } else if (type == &PyBytes_Type || type == &PyByteArray_Type) {
        Owned head;
        PyObject* shown = v;
        if (type == &PyByteArray_Type || PyBytes_GET_SIZE(v) > Py_ssize_t(limit_)) {
            const char* data = type == &PyBytes_Type ? PyBytes_AS_STRING(v) : PyByteArray_AS_STRING(v);
            const Py_ssize_t size = type == &PyBytes_Type ? PyBytes_GET_SIZE(v) : PyByteArray_GET_SIZE(v);
            head = Owned::steal(PyBytes_FromStringAndSize(data, std::min(size, Py_ssize_t(limit_))));
            if (!head) return PyErr_ExceptionMatches(PyExc_Exception) ? (PyErr_Clear(), true) : false;
            shown = head.get();
        }
        if (!c_repr(shown, PyBytes_Type.tp_repr)) put("b'?'");
    } else if (PyDict_Check(v)) {
        if (!enter(v, depth)) return true;
        const bool ok = mapping(v, depth);
        leave();
        return ok;
    } else if (PyList_Check(v) || (PyTuple_Check(v) && !(type->tp_flags & Py_TPFLAGS_HEAPTYPE)) || PyAnySet_Check(v)) {
        if (!enter(v, depth)) return true;
        bool ok;
        if (PyList_Check(v)) {
            ok = sequence(v, '[', ']', depth);
        } else if (PyTuple_Check(v)) {
            ok = sequence(v, '(', ')', depth);
        } else {
            const bool frozen = PyFrozenSet_Check(v);
            if (PySet_GET_SIZE(v) == 0) {
                put(frozen ? "frozenset()" : "set()");
                ok = true;
            } else {
                if (frozen) put("frozenset(");
                ok = sequence(v, '{', '}', depth);
                if (frozen) put(')');
            }
        }
        leave();
        return ok;
    } else {
        const TypeEntry* entry = type_entry(type);
        if (entry == nullptr) {
            if (!PyErr_ExceptionMatches(PyExc_Exception)) return false;
            PyErr_Clear();
            put("<?>");
            return true;
        }
        // A tuple subclass that is not a named tuple reads as a tuple.
        if (PyTuple_Check(v) && entry->kind != ObjectKind::named_tuple) {
            if (!enter(v, depth)) return true;
            const bool ok = sequence(v, '(', ')', depth);
            leave();
            return ok;
        }
        return object(v, *entry, depth);
    }
    return true;
}

bool TextWriter::sequence(PyObject* v, char open, char close, int depth) {
    put(open);
    if (PyAnySet_Check(v)) {
        // The base type's iterator, not an overridden __iter__.
        Owned items = Owned::steal(PySet_Type.tp_iter(v));
        if (!items) return PyErr_ExceptionMatches(PyExc_Exception) ? (PyErr_Clear(), true) : false;
        bool first = true;
        while (!cut_) {
            Owned item = Owned::steal(PyIter_Next(items.get()));
            if (!item) break;
            if (!first) put(", ");
            first = false;
            if (!value(item.get(), depth + 1)) return false;
        }
        PyErr_Clear();  // changed while it was read
    } else {
        const bool list = PyList_Check(v);
        for (Py_ssize_t i = 0; !cut_ && i < (list ? PyList_GET_SIZE(v) : PyTuple_GET_SIZE(v)); ++i) {
            if (i > 0) put(", ");
            Owned item = Owned::borrow(list ? PyList_GET_ITEM(v, i) : PyTuple_GET_ITEM(v, i));
            if (!value(item.get(), depth + 1)) return false;
        }
        if (!list && PyTuple_GET_SIZE(v) == 1) put(',');
    }
    put(close);
    return true;
}

bool TextWriter::mapping(PyObject* v, int depth) {
    put('{');
    Py_ssize_t pos = 0;
    PyObject* key;
    PyObject* item;
    bool first = true;
    while (!cut_ && PyDict_Next(v, &pos, &key, &item)) {
        Owned key_ref = Owned::borrow(key);
        Owned item_ref = Owned::borrow(item);
        if (!first) put(", ");
        first = false;
        if (!value(key, depth + 1)) return false;
        put(": ");
        if (PyUnicode_Check(key) && rules_.matches(utf8_view(key))) {
            put(scrub::kMarker);
        } else if (!value(item, depth + 1)) {
            return false;
        }
    }
    put('}');
    return true;
}

bool TextWriter::object(PyObject* v, const TypeEntry& type, int depth) {
    if (cut_) return true;
    if (!has_fields(type.kind)) return known_text(v, type, depth);
    if (type.kind == ObjectKind::number) {
        // The value the base type holds, as its own repr shows it.
        if (PyLong_Check(v)) integer(v);
        else if (PyFloat_Check(v)) floating(PyFloat_AS_DOUBLE(v));
        else if (PyUnicode_Check(v)) str(v);
        else if (!c_repr(v, PyBytes_Type.tp_repr)) put("b'?'");
        return true;
    }
    Fields fields;
    fields.limit = 64;  // a text shows few of them anyway
    collect_fields(v, type, fields);
    return with_fields(v, type, fields, depth);
}

bool TextWriter::with_fields(PyObject* v, const TypeEntry& type, const Fields& fields, int depth) {
    if (!enter(v, depth)) return true;
    const bool ok = fields_text(v, type, fields, depth);
    leave();
    return ok;
}

bool TextWriter::fields_text(PyObject* v, const TypeEntry& type, const Fields& fields, int depth) {
    put(type.text_name);
    put('(');
    if (type.kind == ObjectKind::exception) {
        // As BaseException's repr: Name(arg) for one argument, Name(arg1, arg2) for more.
        PyObject* args = reinterpret_cast<PyBaseExceptionObject*>(v)->args;
        if (args != nullptr && PyTuple_Check(args)) {
            for (Py_ssize_t i = 0; !cut_ && i < PyTuple_GET_SIZE(args); ++i) {
                if (i > 0) put(", ");
                if (!value(PyTuple_GET_ITEM(args, i), depth + 1)) return false;
            }
        }
        put(')');
        return true;
    }
    for (std::size_t i = 0; !cut_ && i < fields.size(); ++i) {
        if (i > 0) put(", ");
        const std::string_view name = utf8_view(fields[i].name.get());
        put(name);
        put('=');
        if (!fields[i].value) {
            put("<deferred>");
        } else if (rules_.matches(name)) {
            put(scrub::kMarker);
        } else if (!value(fields[i].value.get(), depth + 1)) {
            return false;
        }
    }
    if (fields.more > 0) put(", ...");
    put(')');
    return true;
}

void TextWriter::address(PyObject* v, const TypeEntry& type) {
    AddressText buf;
    put("<");
    put(type.repr_name);
    put(" object at ");
    put(hex_address(v, buf));
    put(">");
}

bool TextWriter::known_text(PyObject* v, const TypeEntry& type, int depth) {
    static PyObject* const name_key = interned("_name_");
    static PyObject* const value_key = interned("_value_");
    char buf[24];
    AddressText hex;
    switch (type.kind) {
        case ObjectKind::enum_member: {
            PyObject* name = own_attribute(v, name_key);
            PyObject* value_ = own_attribute(v, value_key);
            put('<');
            put(type.text_name);
            if (name != nullptr && PyUnicode_Check(name)) {
                put('.');
                put(utf8_view(name));
            }
            put(": ");
            if (value_ == nullptr) {
                put('?');
            } else if (!value(value_, depth + 1)) {
                return false;
            }
            put('>');
            return true;
        }
        case ObjectKind::path: {
            PyObject* text = type.slot_a >= 0 ? slot_value(v, type.slot_a) : nullptr;
            PyObject* raw = type.slot_b >= 0 ? slot_value(v, type.slot_b) : nullptr;
            std::string made;
            if (text != nullptr && PyUnicode_CheckExact(text)) {
                made = utf8_view(text);
            } else if (raw == nullptr || !posix_path_text(raw, made)) {
                address(v, type);
                return true;
            }
            if (std::strstr(type.tp_name, "Windows") != nullptr) {
                for (char& c : made) c = c == '\\' ? '/' : c;
            }
            put(type.text_name);
            put('(');
            text_of_str(made);
            put(')');
            return true;
        }
        case ObjectKind::uuid: {
            PyObject* number = type.slot_a >= 0 ? slot_value(v, type.slot_a) : nullptr;
            unsigned char bytes[16];
            if (number == nullptr || !PyLong_CheckExact(number)) {
                address(v, type);
                return true;
            }
            // The 128 bits, high half first.
            Owned high = Owned::steal(PyNumber_Rshift(number, Owned::steal(PyLong_FromLong(64)).get()));
            const unsigned long long lo = PyLong_AsUnsignedLongLongMask(number);
            const unsigned long long hi = high ? PyLong_AsUnsignedLongLongMask(high.get()) : 0;
            PyErr_Clear();
            for (int i = 0; i < 8; ++i) {
                bytes[i] = static_cast<unsigned char>(hi >> (56 - 8 * i));
                bytes[8 + i] = static_cast<unsigned char>(lo >> (56 - 8 * i));
            }
            char text[37];
            char* at = text;
            for (int i = 0; i < 16; ++i) {
                if (i == 4 || i == 6 || i == 8 || i == 10) *at++ = '-';
                *at++ = "0123456789abcdef"[bytes[i] >> 4];
                *at++ = "0123456789abcdef"[bytes[i] & 0xf];
            }
            put(type.text_name);
            put("('");
            put(std::string_view(text, std::size_t(at - text)));
            put("')");
            return true;
        }
        case ObjectKind::fraction: {
            PyObject* numerator = type.slot_a >= 0 ? slot_value(v, type.slot_a) : nullptr;
            PyObject* denominator = type.slot_b >= 0 ? slot_value(v, type.slot_b) : nullptr;
            if (numerator == nullptr || denominator == nullptr || !PyLong_Check(numerator) || !PyLong_Check(denominator)) {
                address(v, type);
                return true;
            }
            put(type.text_name);
            put('(');
            integer(numerator);
            put(", ");
            integer(denominator);
            put(')');
            return true;
        }
        case ObjectKind::date:
            put(type.tp_name);
            put('(');
            put(digits(PyDateTime_GET_YEAR(v), buf));
            put(", ");
            put(digits(PyDateTime_GET_MONTH(v), buf));
            put(", ");
            put(digits(PyDateTime_GET_DAY(v), buf));
            put(')');
            return true;
        case ObjectKind::datetime:
        case ObjectKind::time: {
            // As their reprs: hour and minute always, then seconds and microseconds as far as
            // they are not zero, then fold and tzinfo when set.
            const bool is_time = type.kind == ObjectKind::time;
            put(type.tp_name);
            put('(');
            if (!is_time) {
                put(digits(PyDateTime_GET_YEAR(v), buf));
                put(", ");
                put(digits(PyDateTime_GET_MONTH(v), buf));
                put(", ");
                put(digits(PyDateTime_GET_DAY(v), buf));
                put(", ");
            }
            const int hour = is_time ? PyDateTime_TIME_GET_HOUR(v) : PyDateTime_DATE_GET_HOUR(v);
            const int minute = is_time ? PyDateTime_TIME_GET_MINUTE(v) : PyDateTime_DATE_GET_MINUTE(v);
            const int second = is_time ? PyDateTime_TIME_GET_SECOND(v) : PyDateTime_DATE_GET_SECOND(v);
            const int micro = is_time ? PyDateTime_TIME_GET_MICROSECOND(v) : PyDateTime_DATE_GET_MICROSECOND(v);
            const int fold = is_time ? PyDateTime_TIME_GET_FOLD(v) : PyDateTime_DATE_GET_FOLD(v);
            PyObject* tzinfo = is_time ? PyDateTime_TIME_GET_TZINFO(v) : PyDateTime_DATE_GET_TZINFO(v);
            put(digits(hour, buf));
            put(", ");
            put(digits(minute, buf));
            if (second != 0 || micro != 0) {
                put(", ");
                put(digits(second, buf));
            }
            if (micro != 0) {
                put(", ");
                put(digits(micro, buf));
            }
            if (fold != 0) put(", fold=1");
            if (tzinfo != Py_None) {
                put(", tzinfo=");
                if (!value(tzinfo, depth + 1)) return false;
            }
            put(')');
            return true;
        }
        case ObjectKind::timedelta: {
            const int days = PyDateTime_DELTA_GET_DAYS(v);
            const int seconds = PyDateTime_DELTA_GET_SECONDS(v);
            const int micro = PyDateTime_DELTA_GET_MICROSECONDS(v);
            put(type.tp_name);
            put('(');
            if (days == 0 && seconds == 0 && micro == 0) put('0');
            const char* sep = "";
            if (days != 0) {
                put("days=");
                put(digits(days, buf));
                sep = ", ";
            }
            if (seconds != 0) {
                put(sep);
                put("seconds=");
                put(digits(seconds, buf));
                sep = ", ";
            }
            if (micro != 0) {
                put(sep);
                put("microseconds=");
                put(digits(micro, buf));
            }
            put(')');
            return true;
        }
        case ObjectKind::c_repr:
            if (type.repr_base && std::strcmp(reinterpret_cast<PyTypeObject*>(type.repr_base.get())->tp_name, "re.Pattern") == 0 && pattern(v)) {
                return true;
            }
            if (!type.repr_base || !c_repr(v, reinterpret_cast<PyTypeObject*>(type.repr_base.get())->tp_repr)) address(v, type);
            return true;
        case ObjectKind::function: {
            const std::string_view qualname = utf8_view(reinterpret_cast<PyFunctionObject*>(v)->func_qualname);
            put("<function ");
            put(qualname.empty() ? std::string_view("?") : qualname);
            put(" at ");
            put(hex_address(v, hex));
            put('>');
            return true;
        }
        case ObjectKind::type_object: {
            const TypeEntry* cls = type_entry(reinterpret_cast<PyTypeObject*>(v));
            if (cls == nullptr || !cls->repr_name_ok) {
                if (cls == nullptr && !PyErr_ExceptionMatches(PyExc_Exception)) return false;
                PyErr_Clear();
                put("<class '?'>");
                return true;
            }
            put("<class '");
            put(cls->repr_name);
            put("'>");
            return true;
        }
        case ObjectKind::builtin_function: {
            auto* f = reinterpret_cast<PyCFunctionObject*>(v);
            const char* name = f->m_ml != nullptr && f->m_ml->ml_name != nullptr ? f->m_ml->ml_name : "?";
            if (f->m_self == nullptr || PyModule_Check(f->m_self)) {
                put("<built-in function ");
                put(name);
                put('>');
            } else {
                put("<built-in method ");
                put(name);
                put(" of ");
                put(Py_TYPE(f->m_self)->tp_name);
                put(" object at ");
                put(hex_address(f->m_self, hex));
                put('>');
            }
            return true;
        }
        case ObjectKind::method: {
            PyObject* function = PyMethod_GET_FUNCTION(v);
            put("<bound method ");
            put(PyFunction_Check(function) ? utf8_view(reinterpret_cast<PyFunctionObject*>(function)->func_qualname)
                                           : std::string_view("?"));
            put(" of ");
            if (!value(PyMethod_GET_SELF(v), depth + 1)) return false;
            put('>');
            return true;
        }
        case ObjectKind::module: {
            Owned name = Owned::steal(PyModule_GetNameObject(v));
            PyErr_Clear();
            put("<module '");
            put(name && PyUnicode_Check(name.get()) ? utf8_view(name.get()) : std::string_view("?"));
            put("'>");
            return true;
        }
        default:
            address(v, type);
            return true;
    }
}

}  // namespace jarn
