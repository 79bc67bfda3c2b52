#include "scrub.hpp"

#include <algorithm>

namespace jarn::scrub {
namespace {

constexpr std::string_view kDenylist[] = {
    "password",   "passwd",        "pwd",       "secret",     "token",      "api_key",     "apikey",
    "access_key", "auth",          "authorization", "cookie", "set_cookie", "sessionid",   "session_key",
    "csrf",       "csrf_token",    "csrftoken", "x_api_key",  "private_key", "credit_card", "card_number",
    "credentials",
    // The same headers as a WSGI environ (Django's request.META) names them.
    "http_authorization", "http_proxy_authorization", "proxy_authorization", "http_cookie",
};
// Matched after a "_": db_password, github_token, client_secret.
constexpr std::string_view kSuffixes[] = {"password", "secret", "token", "api_key", "private_key"};

char lower(char c) {
    if (c >= 'A' && c <= 'Z') return char(c | 0x20);
    return c == '-' ? '_' : c;
}

bool ends_with(std::string_view s, std::string_view tail) {
    return s.size() >= tail.size() && s.substr(s.size() - tail.size()) == tail;
}

}  // namespace

bool normalise(std::string_view name, std::string& out) {
    std::size_t start = 0;
    while (start < name.size() && name[start] == '_') ++start;
    if (name.size() > kLongestName) return false;
    out.resize(name.size() - start);
    std::transform(name.begin() + std::ptrdiff_t(start), name.end(), out.begin(), lower);
    return true;
}

Rules::Rules() {
    for (std::string_view name : kDenylist) note(name);
    renew_id();
}

void Rules::disable() {
    enabled_ = false;
    renew_id();
}

bool Rules::add(std::string_view name) {
    std::string normalised;
    if (!normalise(name, normalised) || normalised.empty()) return false;
    if (std::find(added_.begin(), added_.end(), normalised) == added_.end()) {
        note(normalised);
        added_.push_back(normalised);
        std::sort(added_.begin(), added_.end());
        renew_id();
    }
    return true;
}

void Rules::note(std::string_view normalised) {
    auto& same_length = names_[normalised.size()];
    if (std::find(same_length.begin(), same_length.end(), normalised) != same_length.end()) return;
    same_length.emplace_back(normalised);
    last_letters_[normalised.size()] |= std::uint32_t(1) << letter_class(normalised.back());
}

void Rules::renew_id() {
    // FNV-1a of what decides a verdict: on or off, and the names added to the built-in list.
    std::uint64_t h = 0xcbf29ce484222325ull;
    const auto mix = [&h](unsigned char c) { h = (h ^ c) * 0x100000001b3ull; };
    mix(enabled_ ? 1 : 0);
    for (const std::string& name : added_) {
        for (char c : name) mix((unsigned char)c);
        mix(0);
    }
    id_ = h == 0 ? 1 : h;
}

bool Rules::matches_slowly(std::string_view name) const {
    char buffer[kLongestName];
    std::size_t start = 0;
    while (start < name.size() && name[start] == '_') ++start;
    const std::size_t n = name.size() - start;
    if (n == 0) return false;
    for (std::size_t i = 0; i < n; ++i) buffer[i] = lower(name[start + i]);
    const std::string_view normalised(buffer, n);
    for (const std::string& entry : names_[n]) {
        if (entry == normalised) return true;
    }
    // The suffix is looked for in the name as given: "_token" itself ends with "_token".
    char whole[kLongestName];
    for (std::size_t i = 0; i < name.size(); ++i) whole[i] = lower(name[i]);
    const std::string_view all(whole, name.size());
    for (std::string_view suffix : kSuffixes) {
        if (all.size() > suffix.size() && ends_with(all, suffix) && all[all.size() - suffix.size() - 1] == '_') return true;
    }
    return false;
}

bool Rules::scrub_url(std::string_view text, std::string& out) const {
    if (!enabled_ || !looks_like_url(text)) return false;
    const std::size_t authority = text.find("://") + 3;
    const std::size_t fragment = std::min(text.find('#', authority), text.size());
    std::size_t authority_end = text.find_first_of("/?#", authority);
    if (authority_end == std::string_view::npos) authority_end = text.size();
    bool changed = false;
    out.clear();
    // user:password@host
    const std::string_view host_part = text.substr(authority, authority_end - authority);
    const std::size_t at = host_part.rfind('@');
    const std::size_t colon = at == std::string_view::npos ? at : host_part.substr(0, at).find(':');
    if (colon != std::string_view::npos && colon + 1 < at) {
        out.append(text.substr(0, authority + colon + 1)).append(kMarker);
        out.append(text.substr(authority + at, authority_end - authority - at));
        changed = true;
    } else {
        out.append(text.substr(0, authority_end));
    }
    // ?name=value&...
    std::size_t at_query = text.find('?', authority_end);
    if (at_query == std::string_view::npos || at_query > fragment) at_query = fragment;
    out.append(text.substr(authority_end, at_query - authority_end));
    std::size_t i = at_query;
    while (i < fragment) {
        out.push_back(text[i]);  // "?" or "&"
        const std::size_t end = std::min(text.find('&', i + 1), fragment);
        const std::string_view param = text.substr(i + 1, end - i - 1);
        const std::size_t equals = param.find('=');
        if (equals != std::string_view::npos && equals + 1 < param.size() && matches(param.substr(0, equals))) {
            out.append(param.substr(0, equals + 1)).append(kMarker);
            changed = true;
        } else {
            out.append(param);
        }
        i = end;
    }
    out.append(text.substr(fragment));
    return changed;
}

}  // namespace jarn::scrub
