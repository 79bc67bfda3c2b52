#include "record_layout.hpp"

namespace jarn::records {

void thread_entries(PaddedBytes& out, std::string_view name, std::optional<std::uint64_t> native_id) {
    msgpack::Buffer b;
    msgpack::write_str(b, "thread");
    msgpack::write_str(b, name);
    msgpack::write_int_pair(b, "thread_native_id", native_id);
    out.assign(b.data(), b.size());
}

void write_user_code_call_site(msgpack::Buffer& b, const CallSite* site) {
    msgpack::write_str(b, "user_code_call_site");
    if (site == nullptr) {
        msgpack::write_nil(b);
        return;
    }
    msgpack::write_map_header(b, 2);
    msgpack::write_str(b, "call_frame_id");
    msgpack::write_str(b, view(site->call_frame_id));
    msgpack::write_str(b, "line_number");
    msgpack::write_int(b, site->line_number);
}

void write_exception_head(msgpack::Buffer& b, const Identifier& frame_id, double now, std::string_view thread,
                          const CallSite* site) {
    msgpack::write_map_header(b, 7);
    msgpack::write_str_pair(b, "frame_id", view(frame_id));
    msgpack::write_f64_pair(b, now);
    msgpack::put_bytes(b, thread.data(), thread.size());
    write_user_code_call_site(b, site);
    msgpack::write_str_pair(b, "type", "exception");
    msgpack::write_str(b, "exception");
}

void write_truncated(msgpack::Buffer& b, double reached_at, std::uint64_t records_dropped, std::uint64_t bytes_dropped,
                     std::uint64_t limit_bytes) {
    msgpack::write_map_header(b, 5);
    msgpack::write_str_pair(b, "type", "truncated");
    msgpack::write_f64_pair(b, reached_at);
    msgpack::write_int_pair(b, "records_dropped", records_dropped);
    msgpack::write_int_pair(b, "bytes_dropped", bytes_dropped);
    msgpack::write_int_pair(b, "limit_bytes", limit_bytes);
}

}  // namespace jarn::records
