// The numbers of the distinct texts met so far: an open-addressing table over one byte arena,
// since a trace's values make tens of millions of lookups and nearly all of them find a text
// already there. Pure C++.
#pragma once

#include <cstdint>
#include <cstring>
#include <string>
#include <string_view>
#include <vector>

namespace jarn::index {

class TextTable {
public:
    TextTable() { slots_.resize(1024); }

    std::size_t size() const { return count_; }

    // The number of `text`, or 0 when it is not there.
    std::uint32_t find(std::string_view text, std::uint64_t h) const {
        const std::size_t mask = slots_.size() - 1;
        for (std::size_t i = std::size_t(h) & mask;; i = (i + 1) & mask) {
            const Slot& s = slots_[i];
            if (s.number == 0) return 0;
            if (s.hash == h && s.length == text.size() && std::memcmp(arena_.data() + s.offset, text.data(), text.size()) == 0)
                return s.number;
        }
    }

    void add(std::string_view text, std::uint64_t h, std::uint32_t number) {
        if ((count_ + 1) * 2 > slots_.size()) grow();
        place(Slot{h, std::uint32_t(arena_.size()), std::uint32_t(text.size()), number});
        arena_.append(text);
        ++count_;
    }

    void clear() {
        slots_.assign(1024, Slot{});
        arena_.clear();
        arena_.shrink_to_fit();
        count_ = 0;
    }

    static std::uint64_t hash(std::string_view s) {
        std::uint64_t h = 0x9e3779b97f4a7c15ull ^ s.size();
        std::size_t i = 0;
        for (; i + 8 <= s.size(); i += 8) {
            std::uint64_t w;
            std::memcpy(&w, s.data() + i, 8);
            h = (h ^ w) * 0xff51afd7ed558ccdull;
            h ^= h >> 32;
        }
        std::uint64_t tail = 0;
        if (s.size() > i) std::memcpy(&tail, s.data() + i, s.size() - i);  // never from an empty view's (maybe null) data
        h = (h ^ tail) * 0xc4ceb9fe1a85ec53ull;
        return h ^ (h >> 29);
    }

private:
    struct Slot {
        std::uint64_t hash = 0;
        std::uint32_t offset = 0, length = 0;
        std::uint32_t number = 0;  // 0: empty
    };

    void place(const Slot& slot) {
        const std::size_t mask = slots_.size() - 1;
        std::size_t i = std::size_t(slot.hash) & mask;
        while (slots_[i].number != 0) i = (i + 1) & mask;
        slots_[i] = slot;
    }

    void grow() {
        std::vector<Slot> old(slots_.size() * 2);
        old.swap(slots_);
        for (const Slot& s : old) {
            if (s.number != 0) place(s);
        }
    }

    std::vector<Slot> slots_;
    std::string arena_;
    std::size_t count_ = 0;
};

}  // namespace jarn::index
