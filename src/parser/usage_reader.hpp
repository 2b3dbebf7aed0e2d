// Reading a log file for the usage scan: only what a reply row and a session's facts need.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "error.hpp"
#include "parser/transcript_reader.hpp"
#include "types/date_time.hpp"
#include "types/transcript.hpp"

namespace kestro {

// What the scan takes from one line. The views point into the parsed line and stay valid only
// while the line is handed on; the line is reused for the next one.
struct usage_line {
    enum class kind : std::uint8_t {
        problem,  // not UTF-8, not JSON, or a field the scan reads is missing or mistyped
        reply,    // an assistant record with usage
        prompt,   // a user record a person wrote: not meta, no tool result in its content
        other,    // any other record
    };
    kind what = kind::other;
    std::uint64_t line = 0;  // counted from where the read started, 1-based, blank lines too
    std::optional<date_time> timestamp;
    std::optional<std::string_view> session_id;
    std::optional<std::string_view> agent_id;
    bool is_sidechain = false;
    // Replies only.
    std::optional<std::string_view> message_id;
    std::optional<std::string_view> request_id;
    std::optional<std::string_view> model;
    usage_counts usage;
    std::optional<double> cost_usd;
    std::vector<std::string_view> tools;  // names of the tool_use blocks, in order
    // The ids of those blocks, in the same order; nullopt where a block has none.
    std::vector<std::optional<std::string_view>> tool_ids;
    // User records: the tool_result blocks, by the id of the call they answer, and whether
    // each came back as an error (is_error true; anything else is not an error).
    std::vector<std::pair<std::string_view, bool>> tool_results;
    // Titles and turn durations.
    title_source title_kind = title_source::none;
    std::string_view title;
    std::optional<std::uint64_t> turn_duration_ms;  // a system record of subtype turn_duration
    std::string reason;                             // problems only
};

// Receives the lines of one file in order.
class usage_sink {
  public:
    virtual ~usage_sink() = default;
    // Returning false stops the read.
    virtual bool take(usage_line& line) = 0;
};

// How far a read got.
struct usage_read {
    // Just past the last line read completely: one ended by a line feed, or a last line without
    // one that reads as JSON. A cut last line is handed on as a problem but not counted here.
    std::uint64_t end = 0;
    std::uint64_t lines = 0;  // physical lines up to `end`
    bool cancelled = false;   // `cancel` was seen set
};

// Reads log files one after another, keeping the parser's buffers between them: one per thread.
class usage_reader {
  public:
    usage_reader();
    ~usage_reader();
    usage_reader(const usage_reader&) = delete;
    usage_reader& operator=(const usage_reader&) = delete;

    // As read_usage and read_usage_bytes below.
    std::optional<sdk_error> read(int fd, std::uint64_t start, usage_sink& sink,
                                  const std::atomic<bool>* cancel, usage_read& out);
    usage_read read_bytes(std::string_view bytes, usage_sink& sink);

  private:
    struct impl;
    std::unique_ptr<impl> impl_;
};

// Reads the open file `fd` from byte `start` (the bytes before it are never read) to its end,
// handing every non-blank line to `sink`. `cancel`, when set by another thread, stops the read
// within one block. Returns an I/O error, or nullopt.
std::optional<sdk_error> read_usage(int fd, std::uint64_t start, usage_sink& sink,
                                    const std::atomic<bool>* cancel, usage_read& out);

// The same over bytes in memory (tests and fuzzing).
usage_read read_usage_bytes(std::string_view bytes, usage_sink& sink);

}  // namespace kestro
