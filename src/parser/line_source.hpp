// Reading a log file in large blocks and cutting the blocks into lines: the one read loop that
// every reader of session files plugs its line handler into.
#pragma once

#include <simdjson.h>

#include <algorithm>
#include <cstddef>
#include <cstring>
#include <filesystem>
#include <memory>
#include <optional>
#include <string_view>

#include "error.hpp"

namespace kestro::detail {

// Calls line(text, readable) for each line of data[0, size): text without its line feed (and
// without a carriage return before it), readable the number of bytes that may be read from
// text.data() on, up to readable_end. Stops early when line returns false.
template <class Line>
bool split_lines(const char* data, std::size_t size, const char* readable_end, Line&& line) {
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

// Reads the open file `fd` to its end, handing complete lines to feed(data, size,
// readable_end) in blocks (the last line may lack its line feed). Every line can be parsed
// where it lies: at least SIMDJSON_PADDING readable bytes follow the data. `expected` (0 when
// unknown) sizes the buffer. Returns an I/O error, or nullopt once the file is read or feed
// returned false (the feeder then holds its own error).
template <class Feed>
std::optional<sdk_error> read_blocks(int fd, std::size_t expected, Feed&& feed);

// Small enough that a block is still in the CPU's cache when its lines are parsed, large
// enough that read(2) calls stay few; a line longer than half of it grows the buffer.
inline constexpr std::size_t block_size = std::size_t{256} << 10;

// The byte count read(2) gave (0 at the end of the file), or minus the errno of its failure;
// interrupted reads are retried.
long read_some(int fd, char* into, std::size_t size);

template <class Feed>
std::optional<sdk_error> read_blocks(int fd, std::size_t expected, Feed&& feed) {
    // simdjson reads up to SIMDJSON_PADDING bytes past a line; keeping that much spare room
    // after the data lets every line be parsed where it lies. The buffer is left
    // uninitialised: zeroing a block costs more than parsing a small file.
    constexpr std::size_t pad = simdjson::SIMDJSON_PADDING;
    std::size_t capacity = expected > 0 ? std::min(expected + 1, block_size) : block_size;
    auto buffer = std::make_unique_for_overwrite<char[]>(capacity + pad);
    std::size_t have = 0;   // bytes of an incomplete line carried over from the last block
    std::size_t total = 0;  // bytes read so far
    for (;;) {
        // A line longer than half the buffer grows it, so reads stay large; at the expected
        // end of the file a full-sized read is not needed to see EOF.
        if (capacity - have == 0 || (capacity - have < capacity / 2 && total < expected)) {
            std::size_t grown = capacity * 2;
            auto bigger = std::make_unique_for_overwrite<char[]>(grown + pad);
            std::memcpy(bigger.get(), buffer.get(), have);
            buffer = std::move(bigger);
            capacity = grown;
        }
        const long n = read_some(fd, buffer.get() + have, capacity - have);
        const char* readable_end = buffer.get() + capacity + pad;
        if (n < 0) return sdk_error::io(io_error::from_errno(int(-n)));
        if (n == 0) {
            if (have > 0) (void)feed(buffer.get(), have, readable_end);
            return std::nullopt;
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
        if (!feed(buffer.get(), used, readable_end)) return std::nullopt;
        std::memmove(buffer.get(), buffer.get() + used, have - used);
        have -= used;
    }
}

// An open file, closed when it goes out of scope.
class open_file {
  public:
    // Opens for reading; fd() is negative and error() set when that failed.
    explicit open_file(const std::filesystem::path& path);
    ~open_file();
    open_file(const open_file&) = delete;
    open_file& operator=(const open_file&) = delete;

    [[nodiscard]] int fd() const { return fd_; }
    [[nodiscard]] sdk_error error() const;
    // The size to expect, or 0 when unknown. The size only sizes buffers; a file that changes
    // while it is read is still read to its end.
    [[nodiscard]] std::size_t expected_size() const;

  private:
    int fd_;
    int errno_ = 0;
};

}  // namespace kestro::detail
