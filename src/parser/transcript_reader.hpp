// Reading a whole log file for the complete reader: every line becomes a record or a problem.
#pragma once

#include <filesystem>
#include <optional>
#include <string_view>

#include "error.hpp"
#include "parser/transcript_mapping.hpp"

namespace kestro {

// Receives the lines of one file in order.
class transcript_sink {
  public:
    virtual ~transcript_sink() = default;
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
