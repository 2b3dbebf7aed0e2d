// Invariant checks behind the fuzz targets; shared by the libFuzzer builds and the replay tests.
// A broken invariant is printed to standard error and aborts, so libFuzzer keeps the input as a
// crash and the replay test fails.
#pragma once

#include <cstddef>
#include <cstdint>

namespace kestro::fuzz {

// One log line (the bytes up to the first line feed) through both JSON readers and both record
// mappings: a line the fast reader accepts must give the same value tree, the same record and
// the same failure text on the precise path; every JSON failure names line 1 and a column.
void check_line(const std::uint8_t* data, std::size_t size);

// A whole file's bytes through parse_session_bytes, then every analysis of the result; checks
// the error and warning forms, and that the analyses finish on whatever the parser accepts.
void check_session(const std::uint8_t* data, std::size_t size);

// A whole file's bytes through the complete reader: every non-blank line becomes one record in
// line order, messages and problems are where the records say, replies hold assistant messages
// with usage, every thread walk ends; and on bytes parse_session_bytes accepts, no problem and
// the same messages.
void check_transcript(const std::uint8_t* data, std::size_t size);

}  // namespace kestro::fuzz
