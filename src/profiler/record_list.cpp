#include "record_list.hpp"

#include <sys/mman.h>

#include <algorithm>
#include <cstring>
#include <cstdlib>
#include <iterator>
#include <mutex>

namespace jarn {
namespace {

// Chunks start small, since many threads hold only a few records, and double up to a size where
// the unused tail of a chunk is negligible.
constexpr std::size_t kFirstChunk = 4096;
constexpr std::size_t kLargestChunk = 2 << 20;  // one huge page on x86-64 and arm64
// Notes from this size on are mapped on their own, in whole pages.
constexpr std::size_t kMappedNotes = 16 << 10;
constexpr std::size_t kPage = 4096;

// A kLargestChunk-aligned mapping of kLargestChunk bytes, or null. The kernel can back an
// aligned region with a single huge page; otherwise it still works with ordinary pages.
std::uint8_t* map_aligned_chunk() {
    const std::size_t span = 2 * kLargestChunk;
    void* raw = mmap(nullptr, span, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    if (raw == MAP_FAILED) return nullptr;
    const auto start = reinterpret_cast<std::uintptr_t>(raw);
    const std::uintptr_t aligned = (start + kLargestChunk - 1) & ~(std::uintptr_t(kLargestChunk) - 1);
    if (aligned > start) munmap(raw, aligned - start);
    const std::uintptr_t end = start + span;
    if (end > aligned + kLargestChunk) munmap(reinterpret_cast<void*>(aligned + kLargestChunk), end - aligned - kLargestChunk);
#ifdef MADV_HUGEPAGE
    madvise(reinterpret_cast<void*>(aligned), kLargestChunk, MADV_HUGEPAGE);
#endif
    return reinterpret_cast<std::uint8_t*>(aligned);
}

// Full-size chunks let go of, kept for the next trace: one test's trace after another would
// otherwise map, fault in (the kernel clearing every page) and unmap the same memory each time.
// A few are kept, at most kKeptChunks * kLargestChunk bytes. Lists are freed with the
// interpreter lock held; the pool has a lock of its own all the same, held only for a push or pop.
constexpr std::size_t kKeptChunks = 8;

struct KeptChunks {
    std::mutex lock;
    std::uint8_t* chunks[kKeptChunks] = {};
    std::size_t n = 0;
};

KeptChunks& kept_chunks() {
    static auto* const kept = new KeptChunks();  // never destroyed: chunks may be freed at exit
    return *kept;
}

std::uint8_t* reuse_chunk() {
    KeptChunks& kept = kept_chunks();
    const std::lock_guard<std::mutex> held(kept.lock);
    return kept.n == 0 ? nullptr : kept.chunks[--kept.n];
}

}  // namespace

void ChunkMemory::operator()(std::uint8_t* p) const noexcept {
    if (mapped_bytes == kLargestChunk) {
        KeptChunks& kept = kept_chunks();
        const std::lock_guard<std::mutex> held(kept.lock);
        if (kept.n < kKeptChunks) {
            kept.chunks[kept.n++] = p;
            return;
        }
    }
    if (mapped_bytes != 0) {
        munmap(p, mapped_bytes);
    } else {
        delete[] p;
    }
}

RecordList::Chunk RecordList::new_chunk(std::size_t capacity) {
    Chunk chunk;
    if (capacity == kLargestChunk) {
        if (std::uint8_t* mapped = reuse_chunk(); mapped != nullptr || (mapped = map_aligned_chunk()) != nullptr) {
            chunk.data = std::unique_ptr<std::uint8_t[], ChunkMemory>(mapped, ChunkMemory{kLargestChunk});
        }
    }
    if (!chunk.data) chunk.data = std::unique_ptr<std::uint8_t[], ChunkMemory>(new std::uint8_t[capacity], ChunkMemory{});
    chunk.capacity = capacity;
    return chunk;
}

std::uint8_t* RecordList::reserve_new_chunk(std::size_t n) {
    const std::size_t previous = chunks_.empty() ? kFirstChunk / 2 : chunks_.back().capacity;
    const std::size_t capacity = std::max(n, std::min(previous * 2, kLargestChunk));
    settle_last();
    chunks_.push_back(new_chunk(capacity));
    free_ = chunks_.back().data.get();
    free_end_ = free_ + capacity;
    return free_;
}

void RecordList::append_to_new_chunk(const std::uint8_t* data, std::size_t n) {
    std::memcpy(reserve_new_chunk(n), data, n);
    free_ += n;
    ++count_;
    bytes_ += n;
}

void RecordList::grow_notes(std::size_t more) {
    if (notes_capacity_ - notes_size_ >= more) return;
    std::size_t capacity = std::max(notes_size_ + more, 2 * notes_capacity_ + 64 * records::kNoteSize);
    const std::size_t mapped = notes_.get_deleter().mapped_bytes;
    if (capacity < kMappedNotes) {
        void* grown = std::realloc(notes_.get(), capacity);
        if (grown == nullptr) std::abort();  // out of memory, as when the records' own chunks cannot be had
        (void)notes_.release();
        notes_.reset(static_cast<std::uint8_t*>(grown));
        notes_capacity_ = capacity;
        return;
    }
    capacity = (capacity + kPage - 1) & ~(kPage - 1);
    void* grown = mapped != 0 ? mremap(notes_.get(), mapped, capacity, MREMAP_MAYMOVE)
                              : mmap(nullptr, capacity, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    if (grown == MAP_FAILED) std::abort();
    std::uint8_t* const old = notes_.release();
    if (mapped == 0) {
        if (notes_size_ != 0) std::memcpy(grown, old, notes_size_);
        std::free(old);
    }
    notes_ = std::unique_ptr<std::uint8_t, NotesMemory>(static_cast<std::uint8_t*>(grown), NotesMemory{capacity});
    notes_capacity_ = capacity;
}

void NotesMemory::operator()(std::uint8_t* p) const noexcept {
    if (mapped_bytes != 0) {
        munmap(p, mapped_bytes);
    } else {
        std::free(p);
    }
}

void RecordList::prepend(RecordList&& earlier) {
    if (earlier.chunks_.empty()) return;
    earlier.settle_last();
    if (chunks_.empty()) {
        // Earlier's last chunk stays the last.
        free_ = earlier.free_;
        free_end_ = earlier.free_end_;
    }
    earlier.free_ = nullptr;
    earlier.free_end_ = nullptr;
    earlier.grow_notes(notes_size_);
    if (notes_size_ != 0) std::memcpy(earlier.notes_.get() + earlier.notes_size_, notes_.get(), notes_size_);
    earlier.notes_size_ += notes_size_;
    notes_ = std::move(earlier.notes_);
    notes_size_ = earlier.notes_size_;
    notes_capacity_ = earlier.notes_capacity_;
    earlier.notes_size_ = 0;
    earlier.notes_capacity_ = 0;
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
    for (const Chunk& c : chunks_) msgpack::put_bytes(out, c.data.get(), used(c));
}

}  // namespace jarn

namespace jarn {

std::uint8_t* RecordList::copy_records(std::uint8_t* out) const noexcept {
    for (const Chunk& c : chunks_) {
        std::memcpy(out, c.data.get(), used(c));
        out += used(c);
    }
    return out;
}

}  // namespace jarn
