// Finished records kept back to back in growing chunks: one allocation per chunk rather than per
// record, almost no slack, and a trace is assembled by copying whole chunks. Pure C++.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string_view>
#include <utility>
#include <vector>

#include "../utils/msgpack.hpp"
#include "../utils/record_layout.hpp"

namespace jarn {

// Chunk memory: small chunks from the heap, full-size ones mapped on their own and backed by
// huge pages where the kernel offers them, so filling them costs few page faults.
struct ChunkMemory {
    void operator()(std::uint8_t* p) const noexcept;
    std::size_t mapped_bytes = 0;  // 0: from the heap
};

// A list's notes, back to back in a block grown by doubling: from the heap while small, then
// mapped on its own and grown with mremap, which moves its pages instead of copying them (the
// heap's realloc copies a block that it did not map itself).
struct NotesMemory {
    void operator()(std::uint8_t* p) const noexcept;
    std::size_t mapped_bytes = 0;  // 0: from the heap
};

class RecordList {
public:
    RecordList() = default;
    // A list moved from is left empty.
    RecordList(RecordList&& other) noexcept { *this = std::move(other); }
    RecordList& operator=(RecordList&& other) noexcept {
        chunks_ = std::exchange(other.chunks_, {});
        free_ = std::exchange(other.free_, nullptr);
        free_end_ = std::exchange(other.free_end_, nullptr);
        notes_ = std::move(other.notes_);
        notes_size_ = std::exchange(other.notes_size_, 0);
        notes_capacity_ = std::exchange(other.notes_capacity_, 0);
        count_ = std::exchange(other.count_, 0);
        bytes_ = std::exchange(other.bytes_, 0);
        return *this;
    }

    // A record and its note (see record_layout.hpp), when the list keeps notes.
    void append(const std::uint8_t* data, std::size_t n, const records::Note* note = nullptr) {
        if (note != nullptr) add_note(*note);
        if (std::size_t(free_end_ - free_) >= n) {
            std::memcpy(free_, data, n);
            free_ += n;
            ++count_;
            bytes_ += n;
            return;
        }
        append_to_new_chunk(data, n);
    }
    void append(const msgpack::Buffer& record, const records::Note* note = nullptr) {
        append(record.data(), record.size(), note);
    }
    // A record written in place: reserve() gives room for `n` bytes at the end of the list, valid
    // until the list next changes; commit() keeps the first `size` of them as one record. Room
    // not committed is simply written over by the next record.
    std::uint8_t* reserve(std::size_t n) {
        if (std::size_t(free_end_ - free_) >= n) [[likely]] return free_;
        return reserve_new_chunk(n);
    }
    [[gnu::always_inline]] void commit(std::size_t size, const records::Note* note) {
        if (note != nullptr) add_note(*note);
        free_ += size;
        ++count_;
        bytes_ += size;
    }
    // Puts `earlier` in front of this list's records, leaving `earlier` empty.
    void prepend(RecordList&& earlier);

    std::size_t count() const noexcept { return count_; }
    std::size_t byte_size() const noexcept { return bytes_; }
    std::size_t reserved_bytes() const noexcept;
    bool empty() const noexcept { return count_ == 0; }

    // The records as a MessagePack array: header with the record count, then the records.
    void write_array(msgpack::Buffer& out) const;
    // The records alone, back to back, into `out` (byte_size() bytes); returns the end.
    std::uint8_t* copy_records(std::uint8_t* out) const noexcept;
    // The records as consecutive pieces: chunk(0), chunk(1)... back to back are copy_records().
    std::size_t chunk_count() const noexcept { return chunks_.size(); }
    // The records' notes back to back, in record order.
    std::string_view notes() const noexcept {
        return {reinterpret_cast<const char*>(notes_.get()), notes_size_};
    }
    std::string_view chunk(std::size_t i) const noexcept {
        return {reinterpret_cast<const char*>(chunks_[i].data.get()), used(chunks_[i])};
    }

private:
    struct Chunk {
        std::unique_ptr<std::uint8_t[], ChunkMemory> data;
        std::size_t size = 0;  // of every chunk but the last, which ends at free_
        std::size_t capacity = 0;
    };
    std::size_t used(const Chunk& c) const noexcept {
        return &c == &chunks_.back() ? std::size_t(free_ - c.data.get()) : c.size;
    }
    // Makes the last chunk's size its own, before it stops being the last.
    void settle_last() noexcept {
        if (!chunks_.empty()) chunks_.back().size = std::size_t(free_ - chunks_.back().data.get());
    }
    static Chunk new_chunk(std::size_t capacity);
    void append_to_new_chunk(const std::uint8_t* data, std::size_t n);
    std::uint8_t* reserve_new_chunk(std::size_t n);
    std::vector<Chunk> chunks_;
    // The last chunk's room not yet used: a record is reserved and kept with these alone.
    std::uint8_t* free_ = nullptr;
    std::uint8_t* free_end_ = nullptr;
    [[gnu::always_inline]] void add_note(const records::Note& note) {
        if (notes_capacity_ - notes_size_ < records::kNoteSize) [[unlikely]] grow_notes(records::kNoteSize);
        records::put_note(notes_.get() + notes_size_, note);
        notes_size_ += records::kNoteSize;
    }
    void grow_notes(std::size_t more);
    // The notes back to back (see NotesMemory).
    std::unique_ptr<std::uint8_t, NotesMemory> notes_;
    std::size_t notes_size_ = 0;
    std::size_t notes_capacity_ = 0;
    std::size_t count_ = 0;
    std::size_t bytes_ = 0;
};

}  // namespace jarn
