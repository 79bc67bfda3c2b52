// Which recorded values are secrets, by their name: a variable, a dict key, an attribute, a
// header or a URL's query parameter whose name is on the denylist has its value replaced by
// "[scrubbed]", and so does the password of a URL. Pure C++ (no Python): shared by the value
// encoder and the profiler core, which hands the encoder the rules of its configuration.
//
// A name matches when, with leading underscores dropped, ASCII letters lowercased and "-" read as
// "_", it equals an entry of the list, or ends with "_" and one of the suffix entries. Names are
// compared as UTF-8 bytes; one longer than kLongestName never matches.
#pragma once

#include <array>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace jarn::scrub {

inline constexpr std::string_view kMarker = "[scrubbed]";
inline constexpr std::size_t kLongestName = 64;

class Rules {
public:
    Rules();  // the built-in denylist, on

    // No value is scrubbed any more.
    void disable();
    // One more name that matches exactly, normalised as names are. False when it is empty or
    // longer than kLongestName.
    bool add(std::string_view name);

    bool enabled() const { return enabled_; }
    // The same for rules that match the same names, different otherwise: what a cache of verdicts
    // is keyed by.
    std::uint64_t id() const { return id_; }

    // Whether the value of something of this name is scrubbed. Most names are turned down by
    // their length and last character alone, a private one's ("_cache") by those of what follows
    // its underscores.
    bool matches(std::string_view name) const {
        const std::size_t n = name.size();
        if (!enabled_ || n == 0 || n > kLongestName) return false;
        std::size_t start = 0;
        while (start < n && name[start] == '_') ++start;
        if (start == n) return false;
        if (((last_letters_[n - start] >> letter_class(name[n - 1])) & 1) == 0 && !may_end_in_suffix(name)) return false;
        return matches_slowly(name);
    }

    // Whether `text` is a URL (a scheme, then "://") with a password or a query parameter to
    // scrub; `out` then gets the text with those replaced by the marker.
    bool scrub_url(std::string_view text, std::string& out) const;

    // A URL's start: letters, digits, "+", "-" or "." after a first letter, then "://".
    static bool looks_like_url(std::string_view text) {
        if (text.size() < 4 || !is_letter(text[0])) return false;
        const std::size_t end = text.size() < 33 ? text.size() : 33;
        for (std::size_t i = 1; i < end; ++i) {
            const unsigned char c = static_cast<unsigned char>(text[i]);
            if (!kSchemeCharacters[c]) return c == ':' && text.substr(i, 3) == "://";
        }
        return false;
    }

private:
    static constexpr std::array<bool, 256> kSchemeCharacters = [] {
        std::array<bool, 256> t{};
        for (int c = 0; c < 256; ++c) {
            t[std::size_t(c)] = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '+' ||
                                c == '-' || c == '.';
        }
        return t;
    }();
    static bool is_letter(char c) { return (unsigned char)((c | 0x20) - 'a') < 26; }
    // 0-25 the letters of either case, 26 "_" and "-", 27 anything else.
    static unsigned letter_class(char c) {
        if (is_letter(c)) return unsigned((c | 0x20) - 'a');
        return c == '_' || c == '-' ? 26u : 27u;
    }
    // A "_" (or "-") where one of the suffixes would start, and the last letter it ends with:
    // "_token" (6, n), "_secret" (7, t), "_api_key" (8, y), "_password" (9, d), "_private_key" (12, y).
    static bool may_end_in_suffix(std::string_view name) {
        const std::size_t n = name.size();
        const auto sep = [&](std::size_t k) { return n >= k && (name[n - k] == '_' || name[n - k] == '-'); };
        switch (name[n - 1] | 0x20) {
            case 'n': return sep(6);
            case 't': return sep(7);
            case 'y': return sep(8) || sep(12);
            case 'd': return sep(9);
            default: return false;
        }
    }
    bool matches_slowly(std::string_view name) const;
    void note(std::string_view normalised);
    void renew_id();

    bool enabled_ = true;
    // By length: the classes of the last characters of the names of that length.
    std::array<std::uint32_t, kLongestName + 1> last_letters_{};
    std::array<std::vector<std::string>, kLongestName + 1> names_;  // normalised, by length
    std::vector<std::string> added_;
    std::uint64_t id_ = 0;
};

// `name` normalised as the rules compare it, into `out`; false when it is too long.
bool normalise(std::string_view name, std::string& out);

}  // namespace jarn::scrub
