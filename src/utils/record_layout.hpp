// The layouts of the records the core writes: the frame record of a call or return, the
// exception record after it, the "truncated" record that closes a trace past its memory limit,
// and the entries the core gives every plugin record. Each layout's keys, order and entry count
// live here and nowhere else, so that a field is added in one place. Pure C++.
#pragma once

#include <bit>
#include <cstdint>
#include <cstring>
#include <optional>
#include <string>
#include <string_view>

#include "msgpack.hpp"
#include "padded_bytes.hpp"
#include "ulid.hpp"

namespace jarn::records {

// An encoded key: a fixstr header and the key's text.
constexpr bool is_key(std::string_view encoded) {
    return !encoded.empty() && encoded.size() <= 32 &&
           static_cast<unsigned char>(encoded[0]) == 0xa0 + (encoded.size() - 1);
}

// The recorded frame that called the event's frame, and the line it called from.
struct CallSite {
    Identifier call_frame_id;
    std::int32_t line_number;
};

// ---- Frame record: a map of 12 entries, in this order ----------------------------------------
//   1 path  2 co_name  3 qualname  4 event  5 frame_id  6 arg  7 locals  8 thread
//   9 thread_native_id  10 timestamp  11 type ("frame")  12 user_code_call_site
inline constexpr std::size_t kFrameEntries = 12;
inline constexpr std::uint8_t kFrameHeader = std::uint8_t(0x80 | kFrameEntries);  // a fixmap
static_assert(kFrameEntries < 16);

// 1 to 3: written from the code object's texts (see frame_info.hpp).
inline constexpr std::string_view kPathKey = "\xa4path";
inline constexpr std::string_view kCoNameKey = "\xa7" "co_name";
inline constexpr std::string_view kQualnameKey = "\xa8qualname";
// 4 and 5's key, in one piece per event; the 30-character id follows.
inline constexpr std::string_view kCallEventAndIdKey = "\xa5" "event\xa4" "call\xa8" "frame_id";
inline constexpr std::string_view kReturnEventAndIdKey = "\xa5" "event\xa6return\xa8" "frame_id";
// 6 and 7: the values follow each key.
inline constexpr std::string_view kArgKey = "\xa3" "arg";
inline constexpr std::string_view kLocalsKey = "\xa6locals";
static_assert(is_key(kPathKey) && is_key(kCoNameKey) && is_key(kQualnameKey) && is_key(kArgKey) && is_key(kLocalsKey));

// An identifier as a str: always a fixstr of 30 bytes.
[[gnu::always_inline]] inline void write_identifier(msgpack::Cursor& c, const Identifier& id) {
    static_assert(sizeof(Identifier) == 30);
    c.byte(0xa0 | 30);
    c.raw(std::string_view(id.data(), sizeof(Identifier)));
}

// The most bytes write_frame_event_and_id writes.
inline constexpr std::size_t kEventAndIdMost = kReturnEventAndIdKey.size() + 1 + sizeof(Identifier) + kArgKey.size();

// Entries 4 and 5, and 6's key.
[[gnu::always_inline]] inline void write_frame_event_and_id(msgpack::Cursor& c, bool is_return, const Identifier& id) {
    if (is_return) {
        c.raw(kReturnEventAndIdKey);
    } else {
        c.raw(kCallEventAndIdKey);
    }
    write_identifier(c, id);
    c.raw(kArgKey);
}

// Entries 8 and 9 of a thread, encoded once per thread identity (and the same in an exception
// record).
void thread_entries(PaddedBytes& out, std::string_view name, std::optional<std::uint64_t> native_id);

// The most bytes write_frame_tail writes.
inline constexpr std::size_t kFrameTailMost = 130;

// Entries 10 to 12: the timestamp, the type and the call site (nil when there is none).
[[gnu::always_inline]] inline void write_frame_tail(msgpack::Cursor& c, double now, const CallSite* site) {
    c.constant("\xa9timestamp");
    c.f64(now);
    c.constant("\xa4type\xa5" "frame\xb3user_code_call_site");
    if (site != nullptr) {
        c.constant("\x82\xad" "call_frame_id");
        write_identifier(c, site->call_frame_id);
        c.constant("\xabline_number");
        if (std::uint32_t(site->line_number) < 128) {  // the commonest: as sint writes it
            c.byte(std::uint8_t(site->line_number));
        } else {
            c.sint(site->line_number);
        }
    } else {
        c.byte(0xc0);
    }
}

// ---- Call site, as entry 12 of a frame record and in an exception record ---------------------
// "user_code_call_site": nil, or {"call_frame_id": id, "line_number": line}.
void write_user_code_call_site(msgpack::Buffer& b, const CallSite* site);

// ---- Exception record: a map of 7 entries ----------------------------------------------------
//   frame_id  timestamp  thread  thread_native_id  user_code_call_site  type ("exception")  exception
// Writes all but the last entry's value, which the caller serialises next. `thread` is the
// thread's encoded entries (thread_entries).
void write_exception_head(msgpack::Buffer& b, const Identifier& frame_id, double now, std::string_view thread,
                          const CallSite* site);

// ---- Truncated record: a map of 5 entries ----------------------------------------------------
//   type ("truncated")  timestamp  records_dropped  bytes_dropped  limit_bytes
void write_truncated(msgpack::Buffer& b, double reached_at, std::uint64_t records_dropped, std::uint64_t bytes_dropped,
                     std::uint64_t limit_bytes);

// ---- Plugin record: a map the host serialises ------------------------------------------------
// The core gives it these entries, in this order, before the plugin's own: "frame_id",
// "timestamp", "thread", "thread_native_id", "user_code_call_site" ({"call_frame_id",
// "line_number"} or None), "type", and "subtype" when the plugin has one. Their names are the
// interned strings of the same names (interned_names.def).

// ---- Record notes: what the core measures beside each record ---------------------------------
// Every record of a trace's lists has a note, kept apart from the records (which stay as they
// are) and written after them under the trace's "record_notes" key: 12 bytes, little-endian,
//   u64  jarn's own time on the record's thread, in nanoseconds, summed from the start of
//        profiling up to the record's timestamp (for a frame record; for others, up to the
//        event that made it);
//   u32  the step (low 3 bits) and, for a generator or coroutine, the number of its logical
//        call (the other 29), shared by all the steps of one generator's run.
// jarn's time spent inside a call is the difference of its return's and its call's own times.
enum class Step : std::uint8_t {
    plain = 0,    // an ordinary call or return, or a record that is not a frame record
    start = 1,    // a generator's or coroutine's first step begins
    resume = 2,   // it is resumed (next, send, an await completed)
    thrown = 3,   // it is resumed by an exception thrown into it
    yield = 4,    // it suspends (yield, await)
    finish = 5,   // its final return
    unwind = 6,   // it is left by an exception
    unknown = 7,  // a step of a generator or coroutine that the engine could not tell
};

// While the records are kept the time is in the own clock's ticks (own_clock.hpp); it becomes
// nanoseconds when the notes are written into a trace.
struct Note {
    std::uint64_t own = 0;
    std::uint32_t step = 0;  // Step | logical call << 3
};
inline constexpr std::size_t kNoteSize = 12;

inline std::uint32_t step_of(Step step, std::uint32_t logical_call) {
    return std::uint32_t(step) | (logical_call << 3);
}

inline void put_note(std::uint8_t* at, const Note& note) {
    if constexpr (std::endian::native == std::endian::little) {
        std::memcpy(at, &note.own, 8);
        std::memcpy(at + 8, &note.step, 4);
    } else {
        for (int i = 0; i < 8; ++i) at[i] = std::uint8_t(note.own >> (8 * i));
        for (int i = 0; i < 4; ++i) at[8 + i] = std::uint8_t(note.step >> (8 * i));
    }
}

}  // namespace jarn::records
