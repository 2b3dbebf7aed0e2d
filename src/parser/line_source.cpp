// The line layer: blank lines, and reading a file in blocks that end at line feeds.
#include "parser/line_source.hpp"

#include <fcntl.h>
#include <poll.h>
#include <simdjson.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <memory>
#include <new>
#include <utility>

namespace kestro::detail {

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

class fd_closer {
  public:
    explicit fd_closer(int fd) : fd_(fd) {}
    ~fd_closer() { ::close(fd_); }
    fd_closer(const fd_closer&) = delete;
    fd_closer& operator=(const fd_closer&) = delete;

  private:
    int fd_;
};

sdk_error interrupted() {
    return sdk_error::io(io_error::with_message("interrupted", EINTR));
}

// An open input and how to wait on it.
struct input {
    int fd;
    bool regular;
    const read_options* options;

    [[nodiscard]] bool cancelled() const { return options->cancelled && options->cancelled(); }

    // read(2), except that an input with nothing to give yet (it was opened non-blocking) is
    // waited on in short polls with the cancellation checked between them; a regular file
    // always has something to give. -1 with errno EINTR once cancelled.
    ssize_t read(char* into, std::size_t size) const {
        for (;;) {
            // A FIFO's first read reports EOF while no writer has come yet; poll(2) waits for
            // one, as a blocking open would have.
            if (!regular && !wait_readable()) {
                errno = EINTR;
                return -1;
            }
            const ssize_t n = ::read(fd, into, size);
            if (n >= 0 || (errno != EAGAIN && errno != EWOULDBLOCK)) return n;
        }
    }

    // Whether the input became readable (or closed, or failed) before the read was cancelled.
    [[nodiscard]] bool wait_readable() const {
        for (;;) {
            pollfd p{fd, POLLIN, 0};
            const int ready = ::poll(&p, 1, poll_interval_ms);
            if (ready > 0 || (ready < 0 && errno != EINTR)) return true;
            if (cancelled()) return false;
        }
    }

    // How long one wait for input lasts before the cancellation is checked again.
    static constexpr int poll_interval_ms = 10;
};

struct free_deleter {
    void operator()(char* p) const noexcept { std::free(p); }
};
using block_buffer = std::unique_ptr<char[], free_deleter>;

char* checked(void* p) {
    if (p == nullptr) throw std::bad_alloc();
    return static_cast<char*>(p);
}

// One read(2) asks for at most this much, so that the cancellation is checked at least every
// few milliseconds however large the buffer has grown.
constexpr std::size_t max_read = std::size_t{16} << 20;

// Small enough that a block is still in the CPU's cache when its lines are parsed, large
// enough that read(2) calls stay few; a line longer than half of it grows the buffer.
constexpr std::size_t block_size = std::size_t{256} << 10;

// Doubles the buffer's capacity (plus the padding) and returns the new capacity. Large blocks
// are moved by remapping their pages, not copied: a line that keeps growing (a device without
// line feeds) costs no pause that Ctrl-C waits through.
std::size_t grow(block_buffer& buffer, std::size_t capacity) {
    const std::size_t grown = capacity * 2;
    char* bigger = checked(std::realloc(buffer.get(), grown + simdjson::SIMDJSON_PADDING));
    static_cast<void>(buffer.release());
    buffer.reset(bigger);
    return grown;
}

// The rest of a line handed over cut: nothing up to its line feed is kept. False when the
// `have` bytes hold no line feed (all dropped, the line goes on); true when the bytes after it
// were moved to the front.
bool drop_through_line_feed(char* data, std::size_t& have) {
    const void* lf = std::memchr(data, '\n', have);
    if (lf == nullptr) {
        have = 0;
        return false;
    }
    const std::size_t rest = std::size_t(static_cast<const char*>(lf) - data) + 1;
    std::memmove(data, data + rest, have - rest);
    have -= rest;
    return true;
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

result<int> open_log(const std::filesystem::path& path) {
    // Without O_NONBLOCK, opening a FIFO that has no writer waits for one, deaf to everything.
    const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK);
    if (fd < 0) {
        return sdk_error::io(io_error::from_errno(errno));
    }
    return fd;
}

result<read_end> read_file_blocks(const std::filesystem::path& path, block_sink& sink,
                                  const read_options& options) {
    result<int> fd = open_log(path);
    if (!fd) {
        return fd.error();
    }
    fd_closer closer(fd.value());
    return read_fd_blocks(fd.value(), sink, options);
}

result<read_end> read_fd_blocks(int fd, block_sink& sink, const read_options& options) {
    struct stat st {};
    if (::fstat(fd, &st) != 0) {
        return sdk_error::io(io_error::from_errno(errno));
    }
    const bool regular = S_ISREG(st.st_mode);
    if (!regular && options.regular_files_only) {
        return sdk_error::io(io_error::with_message("not a regular file"));
    }
    const input in{fd, regular, &options};
    const off_t at = ::lseek(fd, 0, SEEK_CUR);
    // The size only sizes buffers; a file that changes while it is read is still read to EOF.
    const std::size_t expected =
        st.st_size > std::max<off_t>(at, 0) ? std::size_t(st.st_size - std::max<off_t>(at, 0)) : 0;
    sink.expect_bytes(expected);

    // simdjson reads up to SIMDJSON_PADDING bytes past a line; keeping that much spare room
    // after the data lets every line be parsed where it lies. The buffer is left
    // uninitialised: zeroing a block costs more than parsing a small file.
    constexpr std::size_t pad = simdjson::SIMDJSON_PADDING;
    std::size_t capacity = expected > 0 ? std::min(expected + 1, block_size) : block_size;
    block_buffer buffer(checked(std::malloc(capacity + pad)));
    std::size_t have = 0;   // bytes of an incomplete line carried over from the last block
    std::size_t total = 0;  // bytes read so far
    bool skipping = false;  // inside a line too long to read, handed over already
    for (;;) {
        if (have > max_line_bytes) {
            // The carried bytes are one unfinished line, already too long to be read.
            if (!sink.block(buffer.get(), have, buffer.get() + capacity + pad)) {
                return read_end::stopped;
            }
            have = 0;
            skipping = true;
        }
        // A line longer than half the buffer grows it, so reads stay large; at the expected
        // end of the file a full-sized read is not needed to see EOF.
        if (capacity - have == 0 || (capacity - have < capacity / 2 && total < expected)) {
            capacity = grow(buffer, capacity);
        }
        if (in.cancelled()) {
            return interrupted();
        }
        ssize_t n = in.read(buffer.get() + have, std::min(capacity - have, max_read));
        if (n < 0) {
            if (errno == EINTR) {
                continue;
            }
            return sdk_error::io(io_error::from_errno(errno));
        }
        const char* readable_end = buffer.get() + capacity + pad;
        if (n == 0) {
            if (have > 0 && !sink.block(buffer.get(), have, readable_end)) {
                return read_end::stopped;
            }
            return read_end::end_of_input;
        }
        total += std::size_t(n);
        std::size_t before = have;
        have += std::size_t(n);
        if (skipping) {
            skipping = !drop_through_line_feed(buffer.get(), have);
            if (skipping) {
                continue;
            }
            before = 0;
        }
        // The carried-over bytes hold no line feed, so only the new bytes are searched.
        const void* last_lf = ::memrchr(buffer.get() + before, '\n', have - before);
        if (last_lf == nullptr) {
            continue;
        }
        std::size_t used = std::size_t(static_cast<const char*>(last_lf) - buffer.get()) + 1;
        if (!sink.block(buffer.get(), used, readable_end)) {
            return read_end::stopped;
        }
        std::memmove(buffer.get(), buffer.get() + used, have - used);
        have -= used;
    }
}

}  // namespace kestro::detail
