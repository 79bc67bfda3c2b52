// Exact byte-substring search with a pattern prepared once. Pure C++.
#pragma once

#include <cstring>
#include <string>
#include <string_view>

namespace jarn {

class Finder {
public:
    explicit Finder(std::string_view needle) : needle_(needle) {}

    bool occurs_in(std::string_view haystack) const noexcept {
        const std::size_t n = needle_.size();
        if (n == 0) return true;
        if (n > haystack.size()) return false;
        if (n == 1) return std::memchr(haystack.data(), needle_[0], haystack.size()) != nullptr;
        // glibc's memmem is a vectorised two-way search: linear, no allocation.
        return ::memmem(haystack.data(), haystack.size(), needle_.data(), n) != nullptr;
    }

    std::string_view needle() const noexcept { return needle_; }

private:
    std::string needle_;
};

inline bool starts_with(std::string_view s, std::string_view prefix) noexcept {
    return s.size() >= prefix.size() && std::memcmp(s.data(), prefix.data(), prefix.size()) == 0;
}

inline bool ends_with(std::string_view s, std::string_view suffix) noexcept {
    return s.size() >= suffix.size() &&
           std::memcmp(s.data() + s.size() - suffix.size(), suffix.data(), suffix.size()) == 0;
}

}  // namespace jarn
