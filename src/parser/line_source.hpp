// The line layer under every log mapping: file blocks, lines, their numbers and blank lines.
//
// A read has two halves. This layer owns the bytes: it opens the file, reads it in large
// blocks, splits the blocks into lines, numbers them and drops blank ones. A mapping owns the
// meaning: it reads each line as JSON (`parser/json_line.hpp`) and turns it into records,
// which it hands to a record sink supplied by the layer above the parser. The mapping and the
// sink are template parameters, so the per-line calls compile to direct calls; the layer
// itself includes no JSON library and knows no record type.
//
// A line handler (the mapping plus its sink) is any type with these two members:
//
//     // Called once, before the first line, with the input's expected size in bytes (0 when
//     // unknown). A hint for sizing tables: a file that grows while it is read is read to EOF.
//     void expect_bytes(std::size_t bytes);
//
//     // Called for every line that is not blank, in file order.
//     //  - `number` is the 1-based physical line number: blank lines are counted, never handed on
//     //    (a line is blank when it holds only Unicode White_Space; U+FEFF is not white space).
//     //  - `text` excludes the line feed and one carriage return before it; the last line of
//     //    the input may lack its line feed. It is raw bytes: not checked for UTF-8 yet.
//     //  - `readable` bytes from text.data() onward may be read (at least text.size()); the JSON
//     //    readers use the spare bytes to parse in place.
//     //  - The view dies with the call: keep nothing that points into it.
//     // Returning false stops the read at once (the strict mapping's first failure); the read
//     // then ends with read_end::stopped and hands no further line.
//     bool line(std::uint64_t number, std::string_view text, std::size_t readable);
//
// A line longer than max_line_bytes is not read to its end: as soon as more of it than that is
// read, what was read is handed over as the line (so `text` is longer than max_line_bytes),
// for the handler to refuse, and the rest of it up to its line feed is skipped. A file without
// line feeds (a device, a sparse file) would otherwise be read until memory runs out.
//
// A new mapping is a new file in parser/ with its handler; neither this layer nor the read
// loop changes for it.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <filesystem>
#include <functional>
#include <string_view>

#include "error.hpp"

namespace kestro {

// The longest line a JSON reader can take (4 GiB - 1).
inline constexpr std::size_t max_line_bytes = 0xFFFFFFFF;

// What a reader of a file may ask beyond its path.
struct read_options {
    // Polled on the reading thread between blocks, and every few milliseconds while an input
    // that is not a regular file (a pipe, a terminal) has nothing to give; returning true ends
    // the read with the I/O error "interrupted" (EINTR). Empty: the read is never cancelled.
    std::function<bool()> cancelled;
    // Refuses what is not a regular file once it is open, with the I/O error "not a regular
    // file": checked on the open descriptor, so a file swapped after it was listed is refused.
    bool regular_files_only = false;
};

// How a read ended when the input could be read.
enum class read_end : std::uint8_t { end_of_input, stopped };

namespace detail {

// True when the line holds nothing but Unicode White_Space (U+FEFF is not white space).
[[nodiscard]] bool is_blank(std::string_view line);

// Receives a file's bytes block by block; each block ends at a line feed, except the last.
// One virtual call per block (hundreds of KiB), none per line.
class block_sink {
  public:
    virtual void expect_bytes(std::size_t bytes) = 0;
    // Complete lines from data[0, size); memory up to readable_end may be read.
    virtual bool block(const char* data, std::size_t size, const char* readable_end) = 0;

  protected:
    ~block_sink() = default;
};

// Opens and reads the file with open/read in large blocks (a line longer than half a block
// grows the buffer), reading up to EOF even when the file changes meanwhile. Opening never
// waits (a FIFO without a writer is opened at once); reading waits for input only as long as
// `options.cancelled` allows. Fails with the operating system's error when the file cannot be
// opened or read, or with the errors of `options`.
result<read_end> read_file_blocks(const std::filesystem::path& path, block_sink& sink,
                                  const read_options& options);

// Opens a log file for reading, without waiting (O_NONBLOCK: a FIFO is opened even while it has
// no writer; the reads wait for input instead): the descriptor, or the operating system's error.
// The caller closes it.
result<int> open_log(const std::filesystem::path& path);

// The same read from an open descriptor's current offset on (for reads that resume where an
// earlier one ended). Leaves the descriptor open.
result<read_end> read_fd_blocks(int fd, block_sink& sink, const read_options& options = {});

// Splits blocks into numbered, non-blank lines for a line handler.
template <class Handler>
class line_splitter final : public block_sink {
  public:
    explicit line_splitter(Handler& handler) : handler_(handler) {}

    void expect_bytes(std::size_t bytes) override { handler_.expect_bytes(bytes); }

    bool block(const char* data, std::size_t size, const char* readable_end) override {
        const char* p = data;
        const char* end = data + size;
        while (p < end) {
            const char* lf = static_cast<const char*>(std::memchr(p, '\n', std::size_t(end - p)));
            const char* stop = lf != nullptr ? lf : end;
            std::size_t n = std::size_t(stop - p);
            if (lf != nullptr && n > 0 && p[n - 1] == '\r') --n;
            ++number_;
            const std::string_view text(p, n);
            // A record line starts with its brace; only other lines pay for the full check.
            const bool blank = (n == 0 || p[0] != '{') && is_blank(text);
            if (!blank && !handler_.line(number_, text, std::size_t(readable_end - p))) {
                return false;
            }
            p = lf != nullptr ? lf + 1 : end;
        }
        return true;
    }

    // The physical lines met so far, the last one counted even without its line feed.
    [[nodiscard]] std::uint64_t lines_seen() const { return number_; }

  private:
    Handler& handler_;
    std::uint64_t number_ = 0;
};

}  // namespace detail

// Hands every non-blank line of the file to `handler` (see the contract above). Fails only when
// the file cannot be opened or read; what the lines say is the handler's business.
template <class Handler>
result<read_end> read_file_lines(const std::filesystem::path& path, Handler& handler,
                                 const read_options& options = {}) {
    detail::line_splitter<Handler> splitter(handler);
    return detail::read_file_blocks(path, splitter, options);
}

// The same over bytes already in memory (tests, fuzzing). Only `bytes` is readable, so lines
// are parsed from a padded copy.
template <class Handler>
read_end read_bytes_lines(std::string_view bytes, Handler& handler) {
    detail::line_splitter<Handler> splitter(handler);
    splitter.expect_bytes(bytes.size());
    return splitter.block(bytes.data(), bytes.size(), bytes.data() + bytes.size())
               ? read_end::end_of_input
               : read_end::stopped;
}

}  // namespace kestro
