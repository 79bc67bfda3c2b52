#include "record_list.hpp"

#include <algorithm>
#include <cstring>
#include <iterator>

namespace jarn {
namespace {

// Chunks start small, since many threads hold only a few records, and double up to a size where
// the unused tail of a chunk is negligible.
constexpr std::size_t kFirstChunk = 4096;
constexpr std::size_t kLargestChunk = 1 << 20;

}  // namespace

void RecordList::append(const std::uint8_t* data, std::size_t n) {
    if (chunks_.empty() || chunks_.back().capacity - chunks_.back().size < n) {
        const std::size_t previous = chunks_.empty() ? kFirstChunk / 2 : chunks_.back().capacity;
        const std::size_t capacity = std::max(n, std::min(previous * 2, kLargestChunk));
        Chunk chunk;
        chunk.data.reset(new std::uint8_t[capacity]);
        chunk.capacity = capacity;
        chunks_.push_back(std::move(chunk));
    }
    Chunk& last = chunks_.back();
    std::memcpy(last.data.get() + last.size, data, n);
    last.size += n;
    ++count_;
    bytes_ += n;
}

void RecordList::prepend(RecordList&& earlier) {
    if (earlier.chunks_.empty()) return;
    earlier.chunks_.insert(earlier.chunks_.end(), std::make_move_iterator(chunks_.begin()),
                           std::make_move_iterator(chunks_.end()));
    chunks_ = std::move(earlier.chunks_);
    count_ += earlier.count_;
    bytes_ += earlier.bytes_;
    earlier.chunks_.clear();
    earlier.count_ = 0;
    earlier.bytes_ = 0;
}

std::size_t RecordList::reserved_bytes() const noexcept {
    std::size_t total = 0;
    for (const Chunk& c : chunks_) total += c.capacity;
    return total;
}

void RecordList::write_array(msgpack::Buffer& out) const {
    msgpack::write_array_header(out, count_);
    for (const Chunk& c : chunks_) msgpack::put_bytes(out, c.data.get(), c.size);
}

}  // namespace jarn
