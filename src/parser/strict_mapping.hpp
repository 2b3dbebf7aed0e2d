// The strict mapping of a log: message and summary records, the first failure ends the read.
//
// Each line must be a JSON object with a string `type`. "user" and "assistant" lines become
// message records and "summary" lines summary records, each checked field by field; any other
// type is skipped with a warning line. The first line that fails (not UTF-8, not JSON, no
// type, a bad field) ends the read with its error, and no record is returned. A log without
// a message record is an empty session file.
//
// A record sink sees each record the moment it is mapped, while it is still in cache, so that
// consumers (metadata, tool pairing, ...) run in the same pass. A sink is any type with:
//
//     // The record just mapped: the last of parsed_log::messages. The record itself may move
//     // as the list grows, but its content blocks (and anything inside them) stay where they
//     // are until the parsed log is destroyed, so a sink may keep pointers into the blocks.
//     void message(const message_record& record);
//     void summary(const summary_record& record);  // the last of parsed_log::summaries
//
// A sink is called only for records that are kept; after a failure it is not called again,
// and whatever it gathered belongs to a read that returns an error.
#pragma once

#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <functional>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "error.hpp"
#include "parser/line_source.hpp"
#include "types/message.hpp"

namespace kestro {

// What the strict mapping returns: records in file order and the first message's session id.
struct parsed_log {
    std::string session_id;
    std::vector<message_record> messages;
    std::vector<summary_record> summaries;
};

// Receives each warning line (without the trailing line feed) as it is met, in line order.
using warning_sink = std::function<void(std::string_view)>;

// Writes the line and a line feed to the process's standard error and flushes.
void write_warning_to_stderr(std::string_view line);

// The mapping's state for one read; the JSON readers behind it stay inside parser/.
class strict_mapping {
  public:
    enum class mapped : std::uint8_t { message, summary, skipped, failed };

    explicit strict_mapping(const warning_sink& warn);
    ~strict_mapping();
    strict_mapping(const strict_mapping&) = delete;
    strict_mapping& operator=(const strict_mapping&) = delete;

    // Sizes the record table from the input's size: growing it moves every record again.
    void expect_bytes(std::size_t bytes);

    // Maps one non-blank line (arguments as in the line handler contract). For `message` and
    // `summary` the record is the last of its list; for `failed` take_error() holds the error.
    [[nodiscard]] mapped map(std::uint64_t number, std::string_view text, std::size_t readable);

    [[nodiscard]] const message_record& last_message() const;
    [[nodiscard]] const summary_record& last_summary() const;

    // The error of the line that failed.
    [[nodiscard]] sdk_error take_error();
    // The records read, or the empty-file error when no message record was among them.
    [[nodiscard]] result<parsed_log> finish();

  private:
    struct impl;
    std::unique_ptr<impl> impl_;
};

// The line handler that feeds a strict mapping's records to a sink.
template <class Sink>
class strict_reader {
  public:
    strict_reader(Sink& sink, const warning_sink& warn) : mapping_(warn), sink_(sink) {}

    void expect_bytes(std::size_t bytes) { mapping_.expect_bytes(bytes); }

    bool line(std::uint64_t number, std::string_view text, std::size_t readable) {
        switch (mapping_.map(number, text, readable)) {
            case strict_mapping::mapped::message:
                sink_.message(mapping_.last_message());
                return true;
            case strict_mapping::mapped::summary:
                sink_.summary(mapping_.last_summary());
                return true;
            case strict_mapping::mapped::skipped:
                return true;
            case strict_mapping::mapped::failed:
                return false;
        }
        return false;
    }

    // The records, or the error that ended the read (an I/O error from `how` first).
    result<parsed_log> finish(result<read_end> how) {
        if (!how) return how.error();
        if (how.value() == read_end::stopped) return mapping_.take_error();
        return mapping_.finish();
    }

  private:
    strict_mapping mapping_;
    Sink& sink_;
};

// Reads the whole file through the strict mapping, handing each record to `sink`; fails with
// the first error in line order (an I/O error, or the first failing line) and never returns a
// partial log. Memory stays proportional to the result.
template <class Sink>
result<parsed_log> read_strict_file(const std::filesystem::path& path, Sink& sink,
                                    const warning_sink& warn, const read_options& options = {}) {
    strict_reader<Sink> reader(sink, warn);
    result<read_end> how = read_file_lines(path, reader, options);
    return reader.finish(std::move(how));
}

// The same over bytes already in memory.
template <class Sink>
result<parsed_log> read_strict_bytes(std::string_view bytes, Sink& sink, const warning_sink& warn) {
    strict_reader<Sink> reader(sink, warn);
    return reader.finish(read_bytes_lines(bytes, reader));
}

}  // namespace kestro
