// Mapping one parsed log line onto the complete reader's record, whatever its type.
//
// Internal to parser/: it sees the JSON views.
#pragma once

#include <cstdint>
#include <memory>
#include <string_view>

#include "parser/json_view.hpp"
#include "parser/transcript_reader.hpp"

namespace kestro {
namespace detail {

// Maps lines from either view of the line reader; both give identical results. A line that
// is an object with a string `type` always becomes a record: known or not, its raw JSON is
// kept. Keeps scratch space between lines, so one mapper serves a whole file.
class transcript_mapper {
  public:
    transcript_mapper();
    ~transcript_mapper();
    transcript_mapper(const transcript_mapper&) = delete;
    transcript_mapper& operator=(const transcript_mapper&) = delete;

    // Fills `out` (reset first) from the line's root value. A line that lacks a required field
    // or holds one of the wrong type becomes a problem record whose reason names the field.
    void map(dom_view root, transcript_line& out);
    void map(json_view root, transcript_line& out);

  private:
    struct impl;
    std::unique_ptr<impl> impl_;
};

}  // namespace detail
}  // namespace kestro
