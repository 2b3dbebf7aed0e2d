// The session parser: blocks of bytes, then lines, then records, then the parsed session.
#include "parser/session.hpp"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <memory>
#include <optional>
#include <utility>

#include "analysis/metadata.hpp"
#include "parser/json_reader.hpp"
#include "parser/record_mapping.hpp"

namespace kestro {

void write_warning_to_stderr(std::string_view line) {
    std::fwrite(line.data(), 1, line.size(), stderr);
    std::fputc('\n', stderr);
    std::fflush(stderr);
}

namespace detail {

namespace {

// The length of the Unicode White_Space character at p, or 0 (U+FEFF is not one).
std::size_t white_space_at(const unsigned char* p, const unsigned char* end) {
    const unsigned c = p[0];
    const auto left = end - p;
    if (c == ' ' || (c >= 0x09 && c <= 0x0D)) {
        return 1;
    }
    if (c == 0xC2 && left >= 2 && (p[1] == 0x85 || p[1] == 0xA0)) {
        return 2;  // U+0085, U+00A0
    }
    if (left < 3) {
        return 0;
    }
    if (c == 0xE1 && p[1] == 0x9A && p[2] == 0x80) {
        return 3;  // U+1680
    }
    if (c == 0xE2 && p[1] == 0x80 &&
        (p[2] <= 0x8A || p[2] == 0xA8 || p[2] == 0xA9 || p[2] == 0xAF)) {
        return 3;  // U+2000..U+200A, U+2028, U+2029, U+202F
    }
    if (c == 0xE2 && p[1] == 0x81 && p[2] == 0x9F) {
        return 3;  // U+205F
    }
    if (c == 0xE3 && p[1] == 0x80 && p[2] == 0x80) {
        return 3;  // U+3000
    }
    return 0;
}

}  // namespace

// A line is blank when nothing but white space is in it: trimming both ends leaves nothing.
bool is_blank(std::string_view line) {
    const auto* p = reinterpret_cast<const unsigned char*>(line.data());
    const auto* end = p + line.size();
    while (p < end) {
        std::size_t n = white_space_at(p, end);
        if (n == 0) {
            return false;
        }
        p += n;
    }
    return true;
}

namespace {

class session_builder {
  public:
    // `expected_bytes` (0 when unknown) sizes the record table up front: growing it moves every
    // record again.
    session_builder(const warning_sink& warn, std::size_t expected_bytes) : warn_(warn) {
        session_.messages.reserve(expected_bytes / bytes_per_record_estimate + 1);
    }

    // Feeds complete lines (the last one may lack its line feed when `at_end`). Memory from
    // data up to readable_end may be read; lines with simdjson's padding there parse in place.
    bool feed(const char* data, std::size_t size, const char* readable_end) {
        const char* p = data;
        const char* end = data + size;
        while (p < end) {
            const char* lf = static_cast<const char*>(std::memchr(p, '\n', std::size_t(end - p)));
            const char* stop = lf != nullptr ? lf : end;
            std::size_t n = std::size_t(stop - p);
            if (lf != nullptr && n > 0 && p[n - 1] == '\r') {
                --n;
            }
            if (!line(std::string_view(p, n), std::size_t(readable_end - p))) {
                return false;
            }
            p = lf != nullptr ? lf + 1 : end;
        }
        return true;
    }

    result<parsed_session> finish(std::string path_text) && {
        if (session_.messages.empty()) {
            return sdk_error::empty_file();
        }
        session_.conversation_tree = build_conversation_tree(session_.messages);
        session_.metadata = std::move(metadata_).finish(std::move(path_text));
        session_.tool_executions = std::move(pairing_).finish();
        return std::move(session_);
    }

    sdk_error take_error() && { return std::move(*error_); }

    // Fails on the coming line when `pending`, the start of it read so far, is already longer
    // than any line the reader can parse and is not blank.
    bool check_pending(std::string_view pending) {
        if (pending.size() <= max_line_bytes || is_blank(pending)) {
            return true;
        }
        ++line_number_;
        return too_long();
    }

  private:
    // Lines of real logs average a few KiB; a low guess only costs one more growth.
    static constexpr std::size_t bytes_per_record_estimate = 2048;
    // The fast reader's limit; the precise one would take longer lines, but no log has them and
    // a file without line feeds (a device, a sparse file) must end before memory does.
    static constexpr std::size_t max_line_bytes = simdjson::SIMDJSON_MAXSIZE_BYTES;

    bool line(std::string_view text, std::size_t readable) {
        ++line_number_;
        // White space is valid UTF-8, and simdjson validates every line it accepts; so only the
        // lines it refuses are checked here, before anything else is said about them.
        if (is_blank(text)) {
            return true;
        }
        if (text.size() > max_line_bytes) {
            return too_long();
        }
        const line_reader::outcome outcome = reader_.parse(text, readable);
        if (outcome != line_reader::outcome::dom && !simdjson::validate_utf8(text)) {
            error_ = sdk_error::io(io_error::with_message("stream did not contain valid UTF-8"));
            return false;
        }
        switch (outcome) {
            case line_reader::outcome::dom:
                return dispatch(dom_view(reader_.dom()));
            case line_reader::outcome::value:
                return dispatch(json_view(reader_.value()));
            case line_reader::outcome::failed:
                break;
        }
        return fail("Invalid JSON: " + reader_.error());
    }

    template <class V>
    bool dispatch(const V& root) {
        bool has_type = false;
        V type_value;
        if (root.kind() == json_kind::object) {
            root.for_each_member([&](std::string_view key, V value) {
                if (key == "type") {
                    has_type = true;
                    type_value = value;
                }
            });
        }
        if (!has_type || type_value.kind() != json_kind::string) {
            return fail("Missing 'type' field");
        }
        std::string_view type = type_value.string();
        if (type == "user" || type == "assistant") {
            message_record& record = session_.messages.emplace_back();
            if (!mapper_.map_message(root, record)) {
                session_.messages.pop_back();
                return fail("Invalid message record: " + mapper_.error());
            }
            metadata_.add(record);
            pairing_.add(record);
            if (!has_session_id_) {
                session_.session_id = record.session_id;
                has_session_id_ = true;
            }
            return true;
        }
        if (type == "summary") {
            summary_record& record = session_.summaries.emplace_back();
            if (!mapper_.map_summary(root, record)) {
                session_.summaries.pop_back();
                return fail("Invalid summary record: " + mapper_.error());
            }
            return true;
        }
        std::string warning = "Warning: Unknown record type '";
        warning.append(type);
        warning += "' at line " + std::to_string(line_number_) + ", skipping";
        warn_(warning);
        return true;
    }

    bool too_long() {
        return fail("line " + std::to_string(line_number_) + " is longer than " +
                    std::to_string(max_line_bytes) + " bytes");
    }

    bool fail(std::string message) {
        error_ = sdk_error::invalid_jsonl(line_number_, std::move(message));
        return false;
    }

    const warning_sink& warn_;
    line_reader reader_;
    record_mapper mapper_;
    // Fed each record as it is mapped, while it is still in cache.
    metadata_accumulator metadata_;
    tool_pairing pairing_;
    parsed_session session_;
    std::uint64_t line_number_ = 0;
    bool has_session_id_ = false;
    std::optional<sdk_error> error_;
};

class fd_closer {
  public:
    explicit fd_closer(int fd) : fd_(fd) {}
    ~fd_closer() { ::close(fd_); }
    fd_closer(const fd_closer&) = delete;
    fd_closer& operator=(const fd_closer&) = delete;

  private:
    int fd_;
};

// Small enough that a block is still in the CPU's cache when its lines are parsed, large
// enough that read(2) calls stay few; a line longer than half of it grows the buffer.
constexpr std::size_t block_size = std::size_t{256} << 10;

}  // namespace
}  // namespace detail

result<parsed_session> parse_session_file(const std::filesystem::path& path,
                                          const warning_sink& warn) {
    int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) {
        return sdk_error::io(io_error::from_errno(errno));
    }
    detail::fd_closer closer(fd);
    struct stat st {};
    // The size only sizes buffers; a file that changes while it is read is still read to EOF.
    const std::size_t expected =
        ::fstat(fd, &st) == 0 && st.st_size > 0 ? std::size_t(st.st_size) : 0;
    detail::session_builder builder(warn, expected);

    // simdjson reads up to SIMDJSON_PADDING bytes past a line; keeping that much spare room
    // after the data lets every line be parsed where it lies. The buffer is left
    // uninitialised: zeroing a block costs more than parsing a small file.
    constexpr std::size_t pad = simdjson::SIMDJSON_PADDING;
    std::size_t capacity =
        expected > 0 ? std::min(expected + 1, detail::block_size) : detail::block_size;
    auto buffer = std::make_unique_for_overwrite<char[]>(capacity + pad);
    std::size_t have = 0;   // bytes of an incomplete line carried over from the last block
    std::size_t total = 0;  // bytes read so far
    for (;;) {
        if (!builder.check_pending(std::string_view(buffer.get(), have))) {
            return std::move(builder).take_error();
        }
        // A line longer than half the buffer grows it, so reads stay large; at the expected
        // end of the file a full-sized read is not needed to see EOF.
        if (capacity - have == 0 || (capacity - have < capacity / 2 && total < expected)) {
            std::size_t grown = capacity * 2;
            auto bigger = std::make_unique_for_overwrite<char[]>(grown + pad);
            std::memcpy(bigger.get(), buffer.get(), have);
            buffer = std::move(bigger);
            capacity = grown;
        }
        ssize_t n = ::read(fd, buffer.get() + have, capacity - have);
        if (n < 0) {
            if (errno == EINTR) {
                continue;
            }
            return sdk_error::io(io_error::from_errno(errno));
        }
        const char* readable_end = buffer.get() + capacity + pad;
        if (n == 0) {
            if (have > 0 && !builder.feed(buffer.get(), have, readable_end)) {
                return std::move(builder).take_error();
            }
            break;
        }
        total += std::size_t(n);
        std::size_t before = have;
        have += std::size_t(n);
        // The carried-over bytes hold no line feed, so only the new bytes are searched.
        const void* last_lf = ::memrchr(buffer.get() + before, '\n', have - before);
        if (last_lf == nullptr) {
            continue;
        }
        std::size_t used = std::size_t(static_cast<const char*>(last_lf) - buffer.get()) + 1;
        if (!builder.feed(buffer.get(), used, readable_end)) {
            return std::move(builder).take_error();
        }
        std::memmove(buffer.get(), buffer.get() + used, have - used);
        have -= used;
    }
    return std::move(builder).finish(path.native());
}

result<parsed_session> parse_session_bytes(std::string_view bytes, std::string path_text,
                                           const warning_sink& warn) {
    detail::session_builder builder(warn, bytes.size());
    if (!builder.feed(bytes.data(), bytes.size(), bytes.data() + bytes.size())) {
        return std::move(builder).take_error();
    }
    return std::move(builder).finish(std::move(path_text));
}

}  // namespace kestro
