// The native index builder: reads a stored trace as a stream of windows, pairs its calls with
// their returns by the host's rule (jarn.trace.walk), and writes what the viewer asks for in
// compact binary blocks:
//   - call blocks, by call id (ids are given in call order, so a call's children follow it):
//     each call's thread, parent, depth, times, function, flags, counts and record offsets;
//   - level runs, per thread and duration level (a call of level L lasts less than 2**(L+1) ns),
//     in the order the calls ended: the flame chart's time windows read only the runs that
//     overlap them;
// and, kept whole until the end because they stay small: functions, threads, callers and
// callees, the calls merged by call path, each function's slowest calls and the plugin records.
// Pure C++: the module (module.cpp) feeds it bytes and hands its output to Python.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "read.hpp"
#include "text_table.hpp"

namespace jarn::index {

inline constexpr std::uint32_t kBlockCalls = 4096;  // calls per call block
inline constexpr std::uint32_t kRunCalls = 4096;    // calls per level run
inline constexpr std::int64_t kMainList = INT64_MIN;  // the main list's key among the lists of notes

enum Flags : std::uint8_t { RAISED = 1, UNFINISHED = 2, NO_START = 4 };

struct Fields;  // what the scanner reads of one record

// One call, as stored in a call block (little-endian, packed: see kCallEntrySize).
struct CallEntry {
    std::uint32_t parent = 0;
    std::uint32_t first_child = 0, next_sibling = 0;  // 0: none
    std::uint16_t depth = 0;
    std::uint16_t thread = 0;
    std::uint32_t fn = 0;
    double start = 0, end = 0, self = 0;
    std::uint32_t children = 0, records = 0;
    std::uint8_t flags = 0, level = 0;
    std::int64_t call_off = -1, ret_off = -1, exc_off = -1;
    std::uint32_t steps = 1;  // a generator's or coroutine's run: its steps
    double awaiting = 0;      // and the time it spent suspended between them
};
inline constexpr std::size_t kCallEntrySize = 4 + 8 + 2 + 2 + 4 + 24 + 8 + 2 + 24 + 4 + 8;  // 90

// One call in a level run: what the flame chart draws (id, depth, start, end, fn, flags; packed).
inline constexpr std::size_t kRunEntrySize = 4 + 2 + 16 + 4 + 1;  // 27

struct CallBlock {
    std::uint32_t number = 0;  // ids number * kBlockCalls + 1 ...
    std::vector<std::uint8_t> data;
};

struct LevelRun {
    std::uint16_t thread = 0;
    std::uint8_t level = 0;
    std::uint32_t count = 0;
    double min_end = 0, max_end = 0;
    std::vector<std::uint8_t> data;
};

struct Mark {
    std::uint32_t call;
    std::int64_t off;
    std::string type;
    double ts;  // NaN: none
    double duration;  // NaN: none
    std::string label;
};

// Searchable texts (each distinct string, key or number of the values, numbered in the order
// met) are written in groups of consecutive numbers, joined by kTextSeparator: a group is one
// document of the full-text index, whose matches are then looked for among its texts.
struct TextGroup {
    std::uint32_t first = 0, count = 0;
    std::string text;
};
inline constexpr char kTextSeparator = '\x1f';

// Where texts occur: for each of a range of texts, the calls whose values hold it. `data` is,
// per text, the varint of its number's difference from the one before, the varint of its call
// count, then each call id as the zigzag varint of its difference from the one before. A text's
// calls may be spread over several pieces (`seq` orders them).
struct Postings {
    std::uint32_t first = 0, last = 0, seq = 0;
    std::vector<std::uint8_t> data;
};

inline constexpr std::size_t kTextLimit = 2048;        // bytes of one value's text that are searched
inline constexpr std::size_t kGroupTexts = 64;         // texts per group at most
inline constexpr std::size_t kGroupBytes = 8192;       // and about this many bytes
inline constexpr std::size_t kPostingsBytes = 65536;   // bytes per postings piece, about
inline constexpr std::size_t kDocLimit = 100000;       // distinct texts remembered at once
inline constexpr std::size_t kPostingLimit = 4000000;  // postings held before they are written


struct Function {
    std::string qualname, path;
    std::uint64_t calls = 0;
    double total = 0, self = 0;
    std::vector<std::pair<double, std::uint32_t>> slowest;  // a min-heap of (duration, call id)
};

struct MergedNode {
    std::uint32_t node;
    std::uint64_t calls = 0;
    double total = 0, self = 0;
};

struct ThreadInfo {
    std::uint16_t no = 0;
    std::string name;
    bool has_native = false;
    std::int64_t native = 0;
    double first = 0, last = 0;
    bool has_time = false;
    std::uint64_t calls = 0;
    std::uint32_t max_depth = 0;
    std::uint32_t first_root = 0;  // its first top-level call
};

struct ViewHash {  // lookups by view, without a string made for each
    using is_transparent = void;
    std::size_t operator()(std::string_view s) const noexcept { return std::size_t(TextTable::hash(s)); }
};

struct PairHash {
    std::size_t operator()(const std::pair<std::uint32_t, std::uint32_t>& p) const noexcept {
        return std::hash<std::uint64_t>()((std::uint64_t(p.first) << 32) | p.second);
    }
};

struct MergedKey {
    std::uint16_t thread;
    std::uint32_t parent, fn;
    bool operator==(const MergedKey&) const = default;
};
struct MergedKeyHash {
    std::size_t operator()(const MergedKey& k) const noexcept {
        return std::hash<std::uint64_t>()((std::uint64_t(k.thread) << 48) ^ (std::uint64_t(k.parent) << 20) ^ k.fn);
    }
};

class Scanner {
public:
    // How the main list's records are told apart by thread: by the trace's main thread id,
    // known (`known` and `main_id`), or guessed from the first record (then
    // `main_guess_wrong()` says whether to build again, with the id stored after the lists).
    Scanner(bool known, bool has_main, std::int64_t main_id);

    // Adds the next window of the trace's bytes; false when the trace does not decode (`error()`).
    bool feed(const std::uint8_t* data, std::size_t n);

    // jarn's own time, noted beside the records ("record_notes"): `set_notes` says how many notes
    // a list has (kMainList, or a thread's id); reading such a list, the scanner stops when it
    // has no note for the next record (`notes_wanted()`: the list and the record's index in it),
    // and goes on (with `feed` of no bytes) once `feed_notes` gave the notes from that index on.
    void set_notes(std::int64_t list, std::uint64_t count) { notes_counts_[list] = count; }
    bool notes_wanted() const { return wanted_; }
    std::int64_t wanted_list() const { return list_key_; }
    std::uint64_t wanted_index() const { return list_index_; }
    void feed_notes(const std::uint8_t* data, std::size_t n);
    // The trace's bytes are all fed: ends what is still open. False when it ended early.
    bool finish();

    const std::string& error() const { return error_; }
    // A trace without a main thread id takes its main list's first record's thread for it.
    bool main_guess_wrong() const { return guessed_main_ && stored_main_known_ && (!has_main_ || main_id_ != stored_main_id_); }
    bool stored_main_known() const { return stored_main_known_; }
    std::int64_t stored_main_id() const { return stored_main_id_; }

    // Output ready to be written, taken (and so forgotten) by the caller as it goes.
    std::vector<CallBlock> take_blocks();
    std::vector<LevelRun> take_runs();
    std::vector<Mark> take_marks();
    // Searchable texts (a document per distinct text) and the calls that hold them.
    std::vector<TextGroup> take_texts();
    std::vector<Postings> take_postings();
    std::size_t pending_bytes() const { return pending_bytes_; }

    // Kept to the end.
    std::uint32_t calls() const { return next_id_ - 1; }
    std::uint64_t records() const { return records_; }
    const std::vector<ThreadInfo>& threads() const { return thread_info_; }
    const std::vector<Function>& functions() const { return functions_; }
    const std::unordered_map<std::pair<std::uint32_t, std::uint32_t>, std::pair<std::uint64_t, double>, PairHash>& edges() const { return edges_; }
    const std::unordered_map<MergedKey, MergedNode, MergedKeyHash>& merged() const { return merged_; }
    std::int64_t truncated_offset() const { return truncated_off_; }  // of the truncated record; -1: none

private:
    struct Open {
        std::uint32_t id;
        std::string frame_id;
        double start;
        double children_time = 0;
        std::uint32_t fn;
        MergedNode* node;
        std::uint32_t last_child = 0;  // its block waits for that call's next sibling
        std::uint32_t logical = 0;     // a generator's or coroutine's run: its number
        double step_start = 0, ran = 0, last_end = 0;  // this step's start; the steps before's time; their end
    };
    struct Thread {
        std::uint16_t no;
        std::vector<Open> open;
        std::unordered_map<std::string, std::uint32_t, ViewHash, std::equal_to<>> open_ids;  // frame id -> open calls with it
        std::unordered_map<std::uint32_t, std::uint32_t> active;  // fn -> open calls, for totals
        std::string last_ended_frame;
        std::uint32_t last_ended = 0;  // its call id (0: none)
        bool held = false;  // the last ended call's run entry is held, for its exception record
        std::uint32_t last_root = 0;  // the last top-level call, whose next sibling is to come
        // generators and coroutines between two steps, by their run's number, with their parent's id
        std::unordered_map<std::uint32_t, std::pair<Open, std::uint32_t>> suspended;
    };
    struct Pending {  // a call block being filled
        std::vector<CallEntry> entries;
        std::uint32_t unfinished = 0;
        std::uint32_t pinned = 0;  // threads whose last ended call is in it
    };

    bool step(Cursor& c);
    bool record(Cursor& c, std::int64_t off);
    void start_list(std::int64_t key);
    std::uint64_t own_time() const;
    std::uint32_t step_info() const;
    void end_suspended_under(Thread& t, std::uint32_t parent);
    void search_values(const Fields& f, std::uint32_t call);
    void search_text(const std::uint8_t* begin, const std::uint8_t* end, std::uint32_t call);
    void add_text(std::string_view text, std::uint32_t call);
    void new_generation();
    void end_group();
    void flush_postings();
    Thread& thread_for(std::int64_t key, bool main, std::string_view name, bool has_native, std::int64_t native);
    std::uint32_t function(std::string_view qualname, std::string_view co_name, std::string_view path);
    CallEntry& entry(std::uint32_t id);
    std::uint32_t begin(Thread& t, std::string_view frame_id, double start, std::int64_t call_off, std::uint32_t fn, std::uint8_t flags);
    void finish_top(Thread& t, double at, bool has_at, std::int64_t ret_off, std::uint8_t flags);
    void close_from(Thread& t, std::size_t depth, double at, bool has_at);
    void set_last_ended(Thread& t, std::uint32_t id, std::string_view frame_id);
    void release_held(Thread& t);
    void pin(std::uint32_t id);
    void unpin(std::uint32_t id);
    void add_run_entry(std::uint16_t thread, std::uint32_t id, const CallEntry& e);
    void block_done(std::uint32_t number);
    bool fail(const char* what);

    // The stream: what is not parsed yet, and where it starts in the trace.
    std::vector<std::uint8_t> buf_;
    std::size_t pos_ = 0;
    std::int64_t base_ = 0;  // trace offset of buf_[0]
    // Where the reading is: a stack of the top-level map and the thread lists in it.
    enum class State { head, key, frames_map, frames_thread, list, skip_value, done } state_ = State::head;
    std::uint32_t keys_left_ = 0, threads_left_ = 0, list_left_ = 0;
    bool in_frames_ = false;  // the list is a thread's of "frames" (else the main list)
    Thread* list_thread_ = nullptr;
    std::int64_t list_thread_key_ = 0;
    bool seen_main_list_ = false;
    std::string pending_key_;

    bool guess_main_, has_main_, guessed_main_ = false, stored_main_known_ = false;
    std::int64_t main_id_, stored_main_id_ = 0;

    std::unordered_map<std::int64_t, std::uint16_t> thread_by_key_;
    std::vector<std::unique_ptr<Thread>> threads_;  // by number - 1
    std::vector<ThreadInfo> thread_info_;
    std::uint16_t main_no_ = 0;
    bool main_named_ = false;  // the main thread is named by its first record
    bool done_ = false;

    std::unordered_map<std::string, std::uint32_t> function_ids_;  // qualname \0 path -> fn
    std::vector<Function> functions_;
    std::unordered_map<std::pair<std::uint32_t, std::uint32_t>, std::pair<std::uint64_t, double>, PairHash> edges_;
    std::unordered_map<MergedKey, MergedNode, MergedKeyHash> merged_;

    std::uint32_t next_id_ = 1;
    std::uint64_t records_ = 0;
    std::unordered_map<std::uint32_t, Pending> pending_;  // call blocks not yet complete
    std::vector<CallBlock> done_blocks_;
    std::unordered_map<std::uint32_t, LevelRun> runs_;  // thread << 8 | level -> the run being filled
    std::vector<LevelRun> done_runs_;
    std::vector<Mark> marks_;
    std::size_t pending_bytes_ = 0;
    TextTable docs_;  // text -> number, of this generation
    std::vector<std::vector<std::uint32_t>> postings_;     // by document - generation_
    std::uint32_t next_doc_ = 1, generation_ = 1;
    std::size_t posting_count_ = 0;
    TextGroup group_;  // the texts of the group being filled
    std::vector<TextGroup> done_groups_;
    std::vector<Postings> done_postings_;
    std::uint32_t postings_seq_ = 0;
    std::int64_t truncated_off_ = -1;
    std::unordered_map<std::int64_t, std::uint64_t> notes_counts_;
    std::int64_t list_key_ = 0;
    std::uint64_t list_index_ = 0, list_notes_ = 0, notes_first_ = 0;
    std::vector<std::uint8_t> notes_;  // the notes of the list from notes_first_ on
    bool wanted_ = false;
    std::string error_;
};

}  // namespace jarn::index
