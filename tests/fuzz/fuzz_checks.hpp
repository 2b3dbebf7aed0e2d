// Invariant checks behind the fuzz targets; shared by the libFuzzer builds and the replay tests.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "types/json_value.hpp"
#include "types/message.hpp"

namespace kestro::fuzz {

// Prints the broken invariant and the input's size to standard error and aborts, so libFuzzer
// keeps the input as a crash and the replay test fails.
[[noreturn]] void fail(std::string_view what, std::size_t input_size);

inline void require(bool holds, std::string_view what, std::size_t input_size) {
    if (!holds) {
        fail(what, input_size);
    }
}

// A canonical text of everything a record holds, for comparing two mappings of one line.
// Iterative: content blocks nest through tool results, JSON values through arrays and objects.
std::string digest(const message_record& r);
std::string digest(const summary_record& r);
std::string digest(const json_value& v);

// One log line (the bytes up to the first line feed) through both JSON readers and both record
// mappings: a line the fast reader accepts must give the same value tree, the same record and
// the same failure text on the precise path; every JSON failure names line 1 and a column.
void check_line(const std::uint8_t* data, std::size_t size);

// A whole file's bytes through parse_session_bytes, then every analysis of the result; checks
// the error forms, the tree's structure, statistics, metadata sums, tool pairing and threads.
void check_session(const std::uint8_t* data, std::size_t size);

}  // namespace kestro::fuzz
