// Path made relative to a directory, comparing whole components. Pure C++.
#pragma once

#include <string_view>

namespace jarn {

// The part of `path` below `dir`, without a leading separator; `path` itself when it does not
// lie below `dir`. Empty and "." components are skipped on both sides, so "/a//b" is below "/a".
std::string_view strip_dir_prefix(std::string_view path, std::string_view dir) noexcept;

}  // namespace jarn
