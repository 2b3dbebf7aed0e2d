// Reading a whole log file for the complete reader: every line becomes a record or a problem.
#pragma once

#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <optional>
#include <string_view>

#include "error.hpp"
#include "types/transcript.hpp"

namespace kestro {

// Where a line's text can name the session's title.
enum class title_source : std::uint8_t { none, summary, ai_title, custom_title };

// What the mapper makes of one line. The views point into the parsed line and stay valid only
// while the line is handed on.
struct transcript_line {
    transcript_record record;
    transcript_message message;  // filled when record.kind is record_kind::message
    std::string_view session_id;
    std::string_view cwd;
    std::string_view version;
    std::string_view git_branch;
    title_source title_kind = title_source::none;
    std::string_view title;
};

// Receives the lines of one file in order.
class transcript_sink {
  public:
    virtual ~transcript_sink() = default;
    // Called once before the first line with the input's size in bytes (0 when unknown).
    virtual void expect_bytes(std::size_t) {}
    // Takes what it keeps out of `line` (which is reused for the next line). Returning false
    // stops the read.
    virtual bool take(transcript_line& line) = 0;
};

// Hands every non-blank line of the file to `sink`: lines that are not UTF-8 or not JSON
// arrive as problem records. Returns an I/O error, or nullopt once the file was read (or the
// sink stopped it).
std::optional<sdk_error> read_transcript_file(const std::filesystem::path& path,
                                              transcript_sink& sink);

// The same over bytes in memory (for tests and fuzzing).
void read_transcript_bytes(std::string_view bytes, transcript_sink& sink);

}  // namespace kestro
