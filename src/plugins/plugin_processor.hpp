// A plugin entry applied to one code name: what it matches, the callables it runs, the context
// shared with the other processors of its entry.
#pragma once

#include <Python.h>

#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "../utils/finder.hpp"
#include "../utils/owned.hpp"
#include "../utils/ulid.hpp"

namespace jarn {

struct PluginProcessor {
    Finder path_fragment;
    std::string call_type;
    std::string return_type;
    std::optional<std::string> subtype;
    Owned call;
    Owned process;
    std::optional<std::vector<std::string>> events;
    Owned context;  // a dict, the same object for every processor of one entry
    std::unordered_map<std::uintptr_t, Identifier> plugin_frame_ids;
};

// Lookups by std::string_view, so the hot path never copies a code name.
struct StringHash {
    using is_transparent = void;
    std::size_t operator()(std::string_view s) const noexcept { return std::hash<std::string_view>{}(s); }
};

using PluginMap = std::unordered_map<std::string, std::vector<PluginProcessor>, StringHash, std::equal_to<>>;

}  // namespace jarn
