#include "path_prefix.hpp"

namespace jarn {
namespace {

// Walks the components of a '/'-separated path, skipping empty and "." ones.
struct Components {
    std::string_view s;
    std::size_t pos = 0;

    bool next(std::string_view& out) {
        while (pos < s.size()) {
            while (pos < s.size() && s[pos] == '/') ++pos;
            const std::size_t start = pos;
            while (pos < s.size() && s[pos] != '/') ++pos;
            const std::string_view c = s.substr(start, pos - start);
            if (c.empty() || c == ".") continue;
            out = c;
            return true;
        }
        return false;
    }
};

}  // namespace

std::string_view strip_dir_prefix(std::string_view path, std::string_view dir) noexcept {
    const bool path_absolute = !path.empty() && path[0] == '/';
    const bool dir_absolute = !dir.empty() && dir[0] == '/';
    if (path_absolute != dir_absolute) return path;
    Components d{dir};
    Components p{path};
    std::string_view dc;
    std::string_view pc;
    while (d.next(dc)) {
        if (!p.next(pc) || pc != dc) return path;
    }
    std::size_t rest = p.pos;
    while (rest < path.size() && (path[rest] == '/' ||
                                  (path[rest] == '.' && (rest + 1 == path.size() || path[rest + 1] == '/')))) {
        ++rest;
    }
    return path.substr(rest);
}

}  // namespace jarn
