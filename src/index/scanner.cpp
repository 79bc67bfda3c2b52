#include "scanner.hpp"

#include <algorithm>
#include <charconv>
#include <cmath>
#include <cstring>
#include <limits>

namespace jarn::index {

// The parts of a record the index needs, as views into the stream's bytes.
struct Fields {
    std::string_view type, event, frame_id, path, qualname, co_name, thread, site_frame;
    bool has_native = false, native_nil = true;
    std::int64_t native = 0;
    bool has_ts = false;
    double ts = 0;
    bool has_site = false;
    double duration = std::numeric_limits<double>::quiet_NaN();
    // plugin record pieces of its label
    std::string_view sql, templ, method, url, level, message, subtype, name, rpath, nodeid, test;
    bool has_status = false;
    std::int64_t status = 0;
    // where its values are: locals, arg, exception (searched as text)
    const std::uint8_t* values[3][2] = {{nullptr, nullptr}, {nullptr, nullptr}, {nullptr, nullptr}};
};

namespace {

constexpr double kNone = std::numeric_limits<double>::quiet_NaN();
constexpr std::size_t kSlowest = 100;       // slowest calls kept per function
constexpr std::size_t kLabelLimit = 160;    // characters of a plugin record's label

std::uint8_t level_of(double duration) {
    const double ns = duration * 1e9;
    if (!(ns >= 2)) return 0;
    return std::uint8_t(std::min(62.0, std::floor(std::log2(ns))));
}

template <typename T>
void put(std::vector<std::uint8_t>& out, T v) {
    std::uint8_t bytes[sizeof(T)];
    std::memcpy(bytes, &v, sizeof(T));  // little-endian machines only (x86-64, aarch64)
    out.insert(out.end(), bytes, bytes + sizeof(T));
}

// Spaces collapsed, cut to kLabelLimit characters (never inside a UTF-8 sequence).
void append_short(std::string& out, std::string_view text) {
    std::size_t chars = 0;
    bool space = !out.empty() && out.back() != ' ';
    for (std::size_t i = 0; i < text.size(); ++i) {
        const unsigned char ch = static_cast<unsigned char>(text[i]);
        if (ch == ' ' || ch == '\n' || ch == '\t' || ch == '\r') {
            space = !out.empty() && out.back() != ' ';
            continue;
        }
        if ((ch & 0xc0) != 0x80) {
            if (chars == kLabelLimit - 1) {
                out += "\xe2\x80\xa6";  // …
                return;
            }
            ++chars;
            if (space) out += ' ';
            space = false;
        }
        out += char(ch);
    }
}

Need read_site(Cursor& c, Fields& f) {
    if (c.is_nil()) return c.skip();
    if (!c.is_map()) return c.skip();
    std::uint32_t n;
    Need got = c.map_header(n);
    if (got != Need::ok) return got;
    f.has_site = true;
    for (std::uint32_t i = 0; i < n; ++i) {
        std::string_view key;
        if (!c.is_str()) {
            if ((got = c.skip()) != Need::ok || (got = c.skip()) != Need::ok) return got;
            continue;
        }
        if ((got = c.str(key)) != Need::ok) return got;
        if (key == "call_frame_id" && c.is_str()) {
            got = c.str(f.site_frame);
        } else {
            got = c.skip();
        }
        if (got != Need::ok) return got;
    }
    return Need::ok;
}

Need read_fields(Cursor& c, Fields& f, bool& is_map) {
    is_map = c.is_map();
    if (!is_map) return c.skip();
    std::uint32_t n;
    Need got = c.map_header(n);
    if (got != Need::ok) return got;
    for (std::uint32_t i = 0; i < n; ++i) {
        if (!c.is_str()) {
            if ((got = c.skip()) != Need::ok || (got = c.skip()) != Need::ok) return got;
            continue;
        }
        std::string_view key;
        if ((got = c.str(key)) != Need::ok) return got;
        std::string_view* text = nullptr;
        int value = -1;
        switch (key.size()) {
            case 3: if (key == "sql") text = &f.sql; else if (key == "url") text = &f.url; else if (key == "arg") value = 1; break;
            case 4:
                if (key == "path") text = &f.path;
                else if (key == "type") text = &f.type;
                else if (key == "name") text = &f.name;
                else if (key == "test") text = &f.test;
                break;
            case 5: if (key == "event") text = &f.event; else if (key == "level") text = &f.level; break;
            case 6:
                if (key == "thread") text = &f.thread;
                else if (key == "method") text = &f.method;
                else if (key == "nodeid") text = &f.nodeid;
                else if (key == "locals") value = 0;
                else if (key == "status") {
                    bool is_int;
                    if ((got = c.integer(f.status, is_int)) != Need::ok) return got;
                    f.has_status = is_int;
                    continue;
                }
                break;
            case 7:
                if (key == "co_name") text = &f.co_name;
                else if (key == "message") text = &f.message;
                else if (key == "subtype") text = &f.subtype;
                break;
            case 8:
                if (key == "frame_id") text = &f.frame_id;
                else if (key == "qualname") text = &f.qualname;
                else if (key == "template") text = &f.templ;
                else if (key == "duration") {
                    bool is_number;
                    double d;
                    if ((got = c.number(d, is_number)) != Need::ok) return got;
                    if (is_number) f.duration = d;
                    continue;
                }
                break;
            case 9:
                if (key == "exception") value = 2;
                if (key == "timestamp") {
                    bool is_number;
                    if ((got = c.number(f.ts, is_number)) != Need::ok) return got;
                    f.has_ts = is_number;
                    continue;
                }
                break;
            case 16:
                if (key == "thread_native_id") {
                    f.native_nil = c.is_nil();
                    bool is_int;
                    if ((got = c.integer(f.native, is_int)) != Need::ok) return got;
                    f.has_native = is_int;
                    continue;
                }
                break;
            case 19:
                if (key == "user_code_call_site") {
                    if ((got = read_site(c, f)) != Need::ok) return got;
                    continue;
                }
                break;
            default:
                break;
        }
        if (value >= 0) f.values[value][0] = c.at();
        if (text != nullptr && c.is_str()) {
            got = c.str(*text);
        } else {
            got = c.skip();
        }
        if (got != Need::ok) return got;
        if (value >= 0) f.values[value][1] = c.at();
    }
    return Need::ok;
}

bool is_common_key(std::string_view key) {
    return key == "frame_id" || key == "timestamp" || key == "thread" || key == "thread_native_id" ||
           key == "user_code_call_site" || key == "type" || key == "subtype";
}

std::string label_of(const Fields& f) {
    std::string out;
    if (f.type == "sql") {
        append_short(out, f.sql);
    } else if (f.type == "template") {
        append_short(out, f.templ);
    } else if (f.type == "http") {
        append_short(out, f.method);
        append_short(out, f.url);
        if (f.has_status && f.subtype == "response") append_short(out, std::to_string(f.status));
    } else if (f.type == "log") {
        append_short(out, f.level);
        append_short(out, f.message);
    } else {
        for (const std::string_view* v : {&f.name, &f.path, &f.message, &f.nodeid, &f.test}) {
            if (!v->empty()) {
                append_short(out, *v);
                break;
            }
        }
    }
    if (out.size() > 4 * kLabelLimit) out.resize(4 * kLabelLimit);
    return out;
}

}  // namespace

Scanner::Scanner(bool known, bool has_main, std::int64_t main_id) : guess_main_(!known), has_main_(known && has_main), main_id_(main_id) {
    // The main thread is listed first, whatever the byte order of the lists.
    thread_info_.push_back(ThreadInfo{1, "MainThread", has_main_, main_id, 0, 0, false, 0, 0});
    threads_.push_back(std::make_unique<Thread>());
    threads_.back()->no = 1;
    main_no_ = 1;
}

bool Scanner::fail(const char* what) {
    if (error_.empty()) error_ = what;
    state_ = State::done;
    return false;
}

bool Scanner::feed(const std::uint8_t* data, std::size_t n) {
    if (!error_.empty()) return false;
    if (pos_ > 0 && pos_ >= buf_.size() / 2) {
        buf_.erase(buf_.begin(), buf_.begin() + std::ptrdiff_t(pos_));
        base_ += std::int64_t(pos_);
        pos_ = 0;
    }
    buf_.insert(buf_.end(), data, data + n);
    while (state_ != State::done) {
        Cursor c(buf_.data() + pos_, buf_.data() + buf_.size());
        if (!step(c)) return error_.empty();
    }
    return error_.empty();
}

// One unit of the stream (a header, a key, a record); false when it needs more bytes or failed.
bool Scanner::step(Cursor& c) {
    const std::uint8_t* start = c.at();
    Need got = Need::ok;
    switch (state_) {
        case State::head: {
            if ((got = c.map_header(keys_left_)) == Need::bad) {
                // MessagePack, but not a map: not a trace; not even MessagePack: damaged
                return fail(*c.at() == 0xc1 ? "the trace does not decode" : "the data is not a jarn trace");
            }
            if (got == Need::ok) state_ = State::key;
            break;
        }
        case State::key: {
            if (keys_left_ == 0) {
                state_ = State::done;
                pos_ += std::size_t(c.at() - start);
                return false;
            }
            std::string_view key;
            if (!c.is_str() && c.left() > 0) {
                if ((got = c.skip()) == Need::ok && (got = c.skip()) == Need::ok) --keys_left_;
                break;
            }
            if ((got = c.str(key)) != Need::ok) break;
            if (key == "frames") {
                if ((got = c.map_header(threads_left_)) != Need::ok) break;
                state_ = State::frames_map;
            } else if (key == "frames_of_interest") {
                if ((got = c.array_header(list_left_)) != Need::ok) break;
                in_frames_ = false;
                start_list(kMainList);
                seen_main_list_ = true;
                state_ = State::list;
            } else if (key == "main_thread_id") {
                std::int64_t v;
                bool is_int;
                if ((got = c.integer(v, is_int)) != Need::ok) break;
                stored_main_known_ = is_int;
                stored_main_id_ = v;
            } else if ((got = c.skip()) != Need::ok) {
                break;
            }
            --keys_left_;
            break;
        }
        case State::frames_map: {
            if (threads_left_ == 0) {
                state_ = State::key;
                break;
            }
            std::int64_t id;
            bool is_int;
            if ((got = c.integer(id, is_int)) != Need::ok) break;
            if (!is_int) return fail("a thread id of the trace is not an integer");
            if ((got = c.array_header(list_left_)) != Need::ok) break;
            --threads_left_;
            in_frames_ = true;
            start_list(id);
            list_thread_ = nullptr;
            list_thread_key_ = id;
            state_ = State::list;
            break;
        }
        case State::list: {
            if (list_left_ == 0) {
                state_ = in_frames_ ? State::frames_map : State::key;
                break;
            }
            const std::int64_t off = base_ + std::int64_t(start - buf_.data());
            // The whole record first: a record cut by the window's end waits for the next one.
            Cursor probe = c;
            if ((got = probe.skip()) != Need::ok) break;
            // and its note: a list with notes waits for them to be fed (notes_wanted)
            if (list_notes_ > list_index_ && list_index_ >= notes_first_ + notes_.size() / 12) {
                wanted_ = true;
                return false;
            }
            if (!record(c, off)) return false;
            --list_left_;
            ++list_index_;
            break;
        }
        default:
            return false;
    }
    if (got == Need::more) return false;
    if (got == Need::bad) return fail("the trace does not decode");
    pos_ += std::size_t(c.at() - start);
    return true;
}

Scanner::Thread& Scanner::thread_for(std::int64_t key, bool main, std::string_view name, bool has_native, std::int64_t native) {
    if (main) return *threads_[main_no_ - 1];
    auto found = thread_by_key_.find(key);
    if (found != thread_by_key_.end()) return *threads_[found->second - 1];
    const std::uint16_t no = std::uint16_t(threads_.size() + 1);
    threads_.push_back(std::make_unique<Thread>());
    threads_.back()->no = no;
    ThreadInfo info;
    info.no = no;
    info.name = name.empty() ? "thread " + std::to_string(key) : std::string(name);
    info.has_native = has_native;
    info.native = native;
    thread_info_.push_back(info);
    thread_by_key_.emplace(key, no);
    return *threads_.back();
}

std::uint32_t Scanner::function(std::string_view qualname, std::string_view co_name, std::string_view path) {
    std::string shown(qualname.empty() ? (co_name.empty() ? std::string_view("?") : co_name) : qualname);
    std::string key = shown;
    key.push_back('\0');
    key.append(path);
    auto [it, added] = function_ids_.try_emplace(std::move(key), std::uint32_t(functions_.size() + 1));
    if (added) functions_.push_back(Function{std::move(shown), std::string(path), 0, 0, 0, {}});
    return it->second;
}

CallEntry& Scanner::entry(std::uint32_t id) {
    const std::uint32_t number = (id - 1) / kBlockCalls;
    Pending& p = pending_[number];
    if (p.entries.empty()) p.entries.resize(kBlockCalls);
    return p.entries[(id - 1) % kBlockCalls];
}

std::uint32_t Scanner::begin(Thread& t, std::string_view frame_id, double start, std::int64_t call_off, std::uint32_t fn,
                             std::uint8_t flags) {
    const std::uint32_t id = next_id_++;
    entry(id);
    ++pending_[(id - 1) / kBlockCalls].unfinished;  // first: its block is not done while it is being filled
    std::uint32_t parent = 0, parent_node = 0;
    // Siblings are linked as they come; the one before waits, in memory, for its next one.
    std::uint32_t* last = &t.last_root;
    if (!t.open.empty()) {
        Open& top = t.open.back();
        parent = top.id;
        parent_node = top.node->node;
        CallEntry& p = entry(top.id);
        ++p.children;
        if (p.first_child == 0) p.first_child = id;
        last = &top.last_child;
    } else if (thread_info_[t.no - 1].first_root == 0) {
        thread_info_[t.no - 1].first_root = id;
    }
    if (*last != 0) {
        entry(*last).next_sibling = id;
        unpin(*last);
    }
    *last = id;
    pin(id);
    CallEntry& e = entry(id);
    e.parent = parent;
    e.depth = std::uint16_t(std::min<std::size_t>(t.open.size(), 65535));
    e.thread = t.no;
    e.fn = fn;
    e.start = start;
    e.flags = flags;
    e.call_off = call_off;
    auto [node, added] = merged_.try_emplace(MergedKey{t.no, parent_node, fn}, MergedNode{std::uint32_t(merged_.size() + 1)});
    (void)added;
    t.open.push_back(Open{id, std::string(frame_id), start, 0, fn, &node->second});
    auto [slot, fresh] = t.open_ids.try_emplace(t.open.back().frame_id, 0);
    (void)fresh;
    ++slot->second;
    ++t.active[fn];
    ThreadInfo& info = thread_info_[t.no - 1];
    info.max_depth = std::max<std::uint32_t>(info.max_depth, std::uint32_t(t.open.size()));
    return id;
}

// Ends the innermost open call at `at` (its thread's last time when the record had none).
void Scanner::finish_top(Thread& t, double at, bool has_at, std::int64_t ret_off, std::uint8_t flags) {
    if (!t.suspended.empty()) end_suspended_under(t, t.open.back().id);
    Open top = std::move(t.open.back());
    t.open.pop_back();
    auto ids = t.open_ids.find(top.frame_id);
    if (--ids->second == 0) t.open_ids.erase(ids);
    const ThreadInfo& info = thread_info_[t.no - 1];
    const double end = std::max(top.start, has_at ? at : (info.has_time ? info.last : top.start));
    const double duration = end - top.start;
    const double self = std::max(0.0, duration - top.children_time);
    CallEntry& e = entry(top.id);
    e.end = end;
    e.self = self;
    e.flags |= flags;
    e.level = level_of(duration);
    e.ret_off = ret_off;
    if (top.logical != 0) {
        top.ran += std::max(0.0, end - top.step_start);  // its last step
        e.awaiting = std::max(0.0, duration - top.ran);
    }
    if (top.last_child != 0) unpin(top.last_child);
    top.node->calls += 1;
    top.node->total += duration;
    top.node->self += self;
    std::uint32_t caller = 0;
    if (!t.open.empty()) {
        t.open.back().children_time += duration;
        caller = t.open.back().fn;
    }
    auto& edge = edges_[{caller, top.fn}];
    edge.first += 1;
    edge.second += duration;
    Function& fn = functions_[top.fn - 1];
    fn.calls += 1;
    fn.self += self;
    if (--t.active[top.fn] == 0) fn.total += duration;
    if (fn.slowest.size() < kSlowest) {
        fn.slowest.emplace_back(duration, top.id);
        std::push_heap(fn.slowest.begin(), fn.slowest.end(), std::greater<>());
    } else if (duration > fn.slowest.front().first) {
        std::pop_heap(fn.slowest.begin(), fn.slowest.end(), std::greater<>());
        fn.slowest.back() = {duration, top.id};
        std::push_heap(fn.slowest.begin(), fn.slowest.end(), std::greater<>());
    }
    thread_info_[t.no - 1].calls += 1;
    const std::uint32_t number = (top.id - 1) / kBlockCalls;
    if (ret_off >= 0) {
        set_last_ended(t, top.id, top.frame_id);
    } else {
        add_run_entry(t.no, top.id, e);
    }
    if (--pending_[number].unfinished == 0) block_done(number);
}

// The call that has just ended may still get its exception record or a plugin record that
// names it: its run entry waits, and its block is not written, until another call ends.
void Scanner::set_last_ended(Thread& t, std::uint32_t id, std::string_view frame_id) {
    release_held(t);
    t.last_ended = id;
    t.last_ended_frame.assign(frame_id);
    t.held = true;
    ++pending_[(id - 1) / kBlockCalls].pinned;
}

void Scanner::pin(std::uint32_t id) { ++pending_[(id - 1) / kBlockCalls].pinned; }

void Scanner::unpin(std::uint32_t id) {
    const std::uint32_t number = (id - 1) / kBlockCalls;
    --pending_[number].pinned;
    block_done(number);
}

void Scanner::release_held(Thread& t) {
    if (!t.held) return;
    t.held = false;
    const std::uint32_t id = t.last_ended;
    add_run_entry(t.no, id, entry(id));
    const std::uint32_t number = (id - 1) / kBlockCalls;
    --pending_[number].pinned;
    block_done(number);
}

void Scanner::add_run_entry(std::uint16_t thread, std::uint32_t id, const CallEntry& e) {
    const std::uint32_t key = (std::uint32_t(thread) << 8) | e.level;
    LevelRun& run = runs_[key];
    if (run.count == 0) {
        run.thread = thread;
        run.level = e.level;
        run.min_end = run.max_end = e.end;
        run.data.reserve(kRunCalls * kRunEntrySize);
    }
    run.min_end = std::min(run.min_end, e.end);
    run.max_end = std::max(run.max_end, e.end);
    put(run.data, id);
    put(run.data, e.depth);
    put(run.data, e.start);
    put(run.data, e.end);
    put(run.data, e.fn);
    put(run.data, e.flags);
    if (++run.count == kRunCalls) {
        pending_bytes_ += run.data.size();
        done_runs_.push_back(std::move(run));
        runs_.erase(key);
    }
}

// Writes a call block out once all its calls have ended and none is held.
void Scanner::block_done(std::uint32_t number) {
    auto found = pending_.find(number);
    if (found == pending_.end() || found->second.unfinished != 0 || found->second.pinned != 0) return;
    // A block is done when its last id has been given too (later ids may still be to come).
    const std::uint32_t last_id = (number + 1) * kBlockCalls;
    if (next_id_ <= last_id && !done_) return;
    CallBlock block;
    block.number = number;
    const std::uint32_t first = number * kBlockCalls + 1;
    const std::uint32_t count = std::min<std::uint32_t>(kBlockCalls, next_id_ - first);
    block.data.reserve(std::size_t(count) * kCallEntrySize);
    for (std::uint32_t i = 0; i < count; ++i) {
        const CallEntry& e = found->second.entries[i];
        put(block.data, e.parent);
        put(block.data, e.first_child);
        put(block.data, e.next_sibling);
        put(block.data, e.depth);
        put(block.data, e.thread);
        put(block.data, e.fn);
        put(block.data, e.start);
        put(block.data, e.end);
        put(block.data, e.self);
        put(block.data, e.children);
        put(block.data, e.records);
        put(block.data, e.flags);
        put(block.data, e.level);
        put(block.data, e.call_off);
        put(block.data, e.ret_off);
        put(block.data, e.exc_off);
        put(block.data, e.steps);
        put(block.data, e.awaiting);
    }
    pending_bytes_ += block.data.size();
    done_blocks_.push_back(std::move(block));
    pending_.erase(found);
}

void Scanner::close_from(Thread& t, std::size_t depth, double at, bool has_at) {
    while (t.open.size() > depth) finish_top(t, at, has_at, -1, UNFINISHED);
}

void Scanner::start_list(std::int64_t key) {
    list_key_ = key;
    list_index_ = 0;
    auto found = notes_counts_.find(key);
    list_notes_ = found == notes_counts_.end() ? 0 : found->second;
    notes_.clear();
    notes_first_ = 0;
}

void Scanner::feed_notes(const std::uint8_t* data, std::size_t n) {
    notes_.assign(data, data + (n - n % 12));
    notes_first_ = list_index_;
    wanted_ = false;
}

// jarn's own time on the record's thread so far, in ns (0 without notes).
std::uint64_t Scanner::own_time() const {
    if (list_index_ >= list_notes_ || list_index_ < notes_first_) return 0;
    const std::size_t at = std::size_t(list_index_ - notes_first_) * 12;
    if (at + 12 > notes_.size()) return 0;
    std::uint64_t own;
    std::memcpy(&own, notes_.data() + at, 8);
    return own;
}

// The record's step (low 3 bits) and generator run (the rest), 0 without notes.
std::uint32_t Scanner::step_info() const {
    if (list_index_ >= list_notes_ || list_index_ < notes_first_) return 0;
    const std::size_t at = std::size_t(list_index_ - notes_first_) * 12;
    if (at + 12 > notes_.size()) return 0;
    std::uint32_t info;
    std::memcpy(&info, notes_.data() + at + 8, 4);
    return info;
}

// A call ends: the generators and coroutines it left suspended end there too, at their last
// step (a later step of one of them is a call of its own).
void Scanner::end_suspended_under(Thread& t, std::uint32_t parent) {
    std::vector<std::uint32_t> ending;
    for (const auto& [logical, held] : t.suspended) {
        if (held.second == parent) ending.push_back(logical);
    }
    for (std::uint32_t logical : ending) {
        auto found = t.suspended.find(logical);
        if (found == t.suspended.end()) continue;
        Open call = std::move(found->second.first);
        t.suspended.erase(found);
        const double at = call.last_end;
        call.step_start = at;  // its steps are all counted
        t.open.push_back(std::move(call));
        ++t.open_ids[t.open.back().frame_id];
        ++t.active[t.open.back().fn];
        finish_top(t, at, true, -1, UNFINISHED);
    }
}

bool Scanner::record(Cursor& c, std::int64_t off) {
    Fields f;
    bool is_map;
    const std::uint8_t* record_begin = c.at();
    const Need got = read_fields(c, f, is_map);
    if (got != Need::ok) return fail("the trace does not decode");
    if (!is_map) return fail("a record is not a map");
    ++records_;
    if (f.has_ts) f.ts -= double(own_time()) / 1e9;  // the program's own time: jarn's taken out
    // Which thread: a "frames" list is one thread's; the main list holds every thread's
    // records when threading is off, told apart by their native id.
    Thread* tp;
    if (in_frames_) {
        tp = &thread_for(list_thread_key_, false, f.thread, true, list_thread_key_);
    } else {
        if (guess_main_ && !guessed_main_) {
            guessed_main_ = true;
            has_main_ = f.has_native;
            main_id_ = f.native;
            thread_info_[0].has_native = has_main_;
            thread_info_[0].native = main_id_;
        }
        const bool main = !f.has_native || !has_main_ || f.native == main_id_;
        tp = &thread_for(f.native, main, f.thread, f.has_native, f.native);
        if (main && !main_named_ && !f.thread.empty()) {
            thread_info_[0].name.assign(f.thread);
            main_named_ = true;
        }
    }
    Thread& t = *tp;
    ThreadInfo& info = thread_info_[t.no - 1];
    if (f.has_ts) {
        if (!info.has_time) {
            info.first = info.last = f.ts;
            info.has_time = true;
        }
        info.last = std::max(info.last, f.ts);
    }
    if (f.type == "frame") {
        if (f.frame_id.empty()) return fail("a frame record has no frame id");
        if (f.event == "call") {
            release_held(t);
            if (f.has_site && !f.site_frame.empty() && !t.open.empty() && t.open.back().frame_id != f.site_frame &&
                t.open_ids.find(f.site_frame) != t.open_ids.end()) {
                // The caller named by the call site is the parent; open calls above it never returned.
                std::size_t depth = t.open.size();
                while (depth > 0 && t.open[depth - 1].frame_id != f.site_frame) --depth;
                close_from(t, depth, f.ts, f.has_ts);
            }
            const double start = f.has_ts ? f.ts : (info.has_time ? info.last : 0.0);
            const std::uint32_t step = step_info(), logical = step >> 3;
            auto held = logical != 0 && ((step & 7) == 2 || (step & 7) == 3) ? t.suspended.find(logical) : t.suspended.end();
            if (held != t.suspended.end()) {
                // the next step of a generator's or coroutine's run: the same call goes on
                Open call = std::move(held->second.first);
                t.suspended.erase(held);
                call.frame_id.assign(f.frame_id);  // this step's own return pairs with it
                call.step_start = start;
                ++entry(call.id).steps;
                search_values(f, call.id);
                t.open.push_back(std::move(call));
                ++t.open_ids[t.open.back().frame_id];
                ++t.active[t.open.back().fn];
                return true;
            }
            const std::uint32_t id = begin(t, f.frame_id, start, off, function(f.qualname, f.co_name, f.path), 0);
            if (logical != 0) {
                t.open.back().logical = logical;
                t.open.back().step_start = start;
            }
            search_values(f, id);
        } else if (f.event == "return") {
            release_held(t);
            const std::string_view frame = f.frame_id;
            if (t.open_ids.find(frame) != t.open_ids.end()) {
                std::size_t depth = t.open.size();
                while (t.open[depth - 1].frame_id != frame) --depth;
                close_from(t, depth, f.ts, f.has_ts);
                search_values(f, t.open.back().id);
                const std::uint32_t step = step_info();
                Open& top = t.open.back();
                if (top.logical != 0) {
                    if ((step & 7) == 4 && (step >> 3) == top.logical) {
                        const double at = f.has_ts ? f.ts : top.step_start;
                        top.ran += std::max(0.0, at - top.step_start);
                        top.last_end = at;
                        // suspended (yield, await): its run goes on at its next step
                        Open call = std::move(top);
                        t.open.pop_back();
                        auto ids = t.open_ids.find(call.frame_id);
                        if (--ids->second == 0) t.open_ids.erase(ids);
                        --t.active[call.fn];
                        const std::uint32_t parent = t.open.empty() ? 0 : t.open.back().id;
                        const std::uint32_t logical = call.logical;
                        t.suspended.emplace(logical, std::make_pair(std::move(call), parent));
                        return true;
                    }
                }
                finish_top(t, f.ts, f.has_ts, off, 0);
            } else {
                // A return without its call: profiling began inside this function.
                const double start = info.has_time ? info.first : (f.has_ts ? f.ts : 0.0);
                search_values(f, begin(t, f.frame_id, start, -1, function(f.qualname, f.co_name, f.path), NO_START));
                finish_top(t, f.ts, f.has_ts, off, 0);
            }
        } else {
            return fail("a frame record has no event");
        }
        return true;
    }
    if (f.type == "exception" && t.held && t.last_ended_frame == f.frame_id) {
        CallEntry& e = entry(t.last_ended);
        e.exc_off = off;
        e.flags |= RAISED;
        search_values(f, t.last_ended);
        return true;
    }
    if (f.type == "truncated") {
        truncated_off_ = off;
        return true;
    }
    // A plugin record goes under the call its call site names (open, or just ended), else
    // under the innermost open call.
    std::uint32_t owner = t.open.empty() ? 0 : t.open.back().id;
    if (f.has_site && !f.site_frame.empty()) {
        bool found = false;
        for (std::size_t i = t.open.size(); i > 0; --i) {
            if (t.open[i - 1].frame_id == f.site_frame) {
                owner = t.open[i - 1].id;
                found = true;
                break;
            }
        }
        if (!found && t.held && t.last_ended_frame == f.site_frame) owner = t.last_ended;
    }
    if (owner != 0) {
        ++entry(owner).records;
        // the plugin's own entries, as text
        Cursor whole(record_begin, c.at());
        std::uint32_t n = 0;
        whole.map_header(n);
        for (std::uint32_t i = 0; i < n; ++i) {
            std::string_view key;
            if (whole.is_str() && whole.str(key) == Need::ok && is_common_key(key)) {
                whole.skip();
                continue;
            }
            const std::uint8_t* v = whole.at();
            if (whole.skip() != Need::ok) break;
            search_text(v, whole.at(), owner);
        }
    }
    marks_.push_back(Mark{owner, off, std::string(f.type.empty() ? "?" : f.type), f.has_ts ? f.ts : kNone, f.duration, label_of(f)});
    pending_bytes_ += 64;
    return true;
}

void Scanner::search_values(const Fields& f, std::uint32_t call) {
    for (const auto& span : f.values) {
        if (span[0] != nullptr && span[1] != nullptr) search_text(span[0], span[1], call);
    }
}

// Every string (keys too) and number inside a value becomes a searchable text of the call.
void Scanner::search_text(const std::uint8_t* begin, const std::uint8_t* end, std::uint32_t call) {
    Cursor c(begin, end);
    while (c.left() > 0) {
        const std::uint8_t b = *c.at();
        if (c.is_str()) {
            std::string_view s;
            if (c.str(s) != Need::ok) return;
            add_text(s, call);
        } else if (c.is_map() || (b & 0xf0) == 0x90 || b == 0xdc || b == 0xdd) {
            std::uint32_t n;
            // its contents follow it: read on, one value at a time, in this same loop
            if (c.is_map() ? c.map_header(n) != Need::ok : c.array_header(n) != Need::ok) return;
        } else if (b <= 0x7f || b >= 0xe0 || (b >= 0xca && b <= 0xd3)) {
            double d;
            bool is_number;
            const bool is_float = b == 0xca || b == 0xcb;
            std::int64_t i = 0;
            bool is_int = false;
            if (is_float) {
                if (c.number(d, is_number) != Need::ok) return;
            } else if (c.integer(i, is_int) != Need::ok) {
                return;
            }
            char text[32];
            const auto done = is_float ? std::to_chars(text, text + sizeof text, d) : std::to_chars(text, text + sizeof text, i);
            if (is_float || is_int) add_text(std::string_view(text, std::size_t(done.ptr - text)), call);
        } else if (c.skip() != Need::ok) {
            return;
        }
    }
}

void Scanner::add_text(std::string_view text, std::uint32_t call) {
    if (text.empty()) return;
    if (text.size() > kTextLimit) text = text.substr(0, kTextLimit);
    const std::uint64_t h = TextTable::hash(text);
    std::uint32_t number = docs_.find(text, h);
    if (number == 0) {
        if (docs_.size() >= kDocLimit) new_generation();
        number = next_doc_++;
        docs_.add(text, h, number);
        if (group_.count == 0) group_.first = number;
        if (group_.count != 0) group_.text.push_back(kTextSeparator);
        for (char ch : text) group_.text.push_back(ch == kTextSeparator || ch == '\0' ? ' ' : ch);
        pending_bytes_ += text.size() + 1;
        if (++group_.count >= kGroupTexts || group_.text.size() >= kGroupBytes) end_group();
        postings_.emplace_back();
    }
    std::vector<std::uint32_t>& list = postings_[number - generation_];
    if (!list.empty() && list.back() == call) return;
    list.push_back(call);
    pending_bytes_ += 4;
    if (++posting_count_ >= kPostingLimit) flush_postings();
}

void Scanner::end_group() {
    if (group_.count == 0) return;
    done_groups_.push_back(std::move(group_));
    group_ = TextGroup{};
}

// The texts seen so far are forgotten (a text seen again gets a new number): memory stays
// bounded however many distinct values a trace holds.
void Scanner::new_generation() {
    flush_postings();
    docs_.clear();
    postings_.clear();
    generation_ = next_doc_;
}

namespace {
void put_varint(std::vector<std::uint8_t>& out, std::uint64_t v) {
    while (v >= 0x80) {
        out.push_back(std::uint8_t(v | 0x80));
        v >>= 7;
    }
    out.push_back(std::uint8_t(v));
}
}  // namespace

void Scanner::flush_postings() {
    Postings out;
    std::uint32_t before_doc = 0;
    for (std::size_t i = 0; i < postings_.size(); ++i) {
        std::vector<std::uint32_t>& list = postings_[i];
        if (list.empty()) continue;
        const std::uint32_t doc = generation_ + std::uint32_t(i);
        if (out.data.empty()) {
            out.first = doc;
            before_doc = doc;
        }
        put_varint(out.data, doc - before_doc);
        put_varint(out.data, list.size());
        before_doc = doc;
        std::int64_t before = 0;
        for (std::uint32_t id : list) {
            const std::int64_t delta = std::int64_t(id) - before;
            before = id;
            put_varint(out.data, (std::uint64_t(delta) << 1) ^ std::uint64_t(delta >> 63));
        }
        out.last = doc;
        pending_bytes_ -= std::min(pending_bytes_, list.size() * 4);
        list.clear();
        list.shrink_to_fit();
        if (out.data.size() >= kPostingsBytes) {
            out.seq = postings_seq_++;
            pending_bytes_ += out.data.size();
            done_postings_.push_back(std::move(out));
            out = Postings{};
        }
    }
    if (!out.data.empty()) {
        out.seq = postings_seq_++;
        pending_bytes_ += out.data.size();
        done_postings_.push_back(std::move(out));
    }
    posting_count_ = 0;
}

std::vector<TextGroup> Scanner::take_texts() {
    std::vector<TextGroup> out;
    out.swap(done_groups_);
    for (const auto& g : out) pending_bytes_ -= std::min(pending_bytes_, g.text.size() + 1);
    return out;
}

std::vector<Postings> Scanner::take_postings() {
    std::vector<Postings> out;
    out.swap(done_postings_);
    for (const auto& p : out) pending_bytes_ -= std::min(pending_bytes_, p.data.size());
    return out;
}

bool Scanner::finish() {
    if (!error_.empty()) return false;
    if (state_ != State::done) return fail("the trace ends early");
    if (!seen_main_list_) return fail("the data is not a jarn trace");
    thread_info_[0].has_native = stored_main_known_;  // the main thread's id is the stored one only
    thread_info_[0].native = stored_main_id_;
    for (auto& t : threads_) {
        release_held(*t);
        const ThreadInfo& info = thread_info_[t->no - 1];
        close_from(*t, 0, info.last, info.has_time);
        end_suspended_under(*t, 0);
        release_held(*t);
        if (t->last_root != 0) unpin(t->last_root);
        t->last_root = 0;
    }
    done_ = true;
    end_group();
    flush_postings();
    std::vector<std::uint32_t> left;
    for (const auto& [number, p] : pending_) left.push_back(number);
    for (std::uint32_t number : left) block_done(number);
    for (auto& [key, run] : runs_) {
        pending_bytes_ += run.data.size();
        done_runs_.push_back(std::move(run));
    }
    runs_.clear();
    return true;
}

std::vector<CallBlock> Scanner::take_blocks() {
    std::vector<CallBlock> out;
    out.swap(done_blocks_);
    for (const auto& b : out) pending_bytes_ -= b.data.size();
    return out;
}

std::vector<LevelRun> Scanner::take_runs() {
    std::vector<LevelRun> out;
    out.swap(done_runs_);
    for (const auto& r : out) pending_bytes_ -= r.data.size();
    return out;
}

std::vector<Mark> Scanner::take_marks() {
    std::vector<Mark> out;
    out.swap(marks_);
    pending_bytes_ -= std::min(pending_bytes_, out.size() * 64);
    return out;
}

}  // namespace jarn::index
