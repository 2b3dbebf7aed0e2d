// Mapping one parsed log line onto a message or summary record.
#pragma once

#include <memory>
#include <string>
#include <string_view>

#include "parser/json_view.hpp"
#include "types/message.hpp"

namespace kestro::detail {

// Maps records from either view; both give identical records and identical failure texts.
// Keeps scratch space between lines, so one mapper serves a whole file.
class record_mapper {
  public:
    record_mapper();
    ~record_mapper();
    record_mapper(const record_mapper&) = delete;
    record_mapper& operator=(const record_mapper&) = delete;

    // The line's object must already be known to be an object with a string `type`.
    // On failure returns false and error() holds the text (without the record prefix).
    [[nodiscard]] bool map_message(dom_view object, message_record& out);
    [[nodiscard]] bool map_message(json_view object, message_record& out);
    [[nodiscard]] bool map_summary(dom_view object, summary_record& out);
    [[nodiscard]] bool map_summary(json_view object, summary_record& out);

    [[nodiscard]] const std::string& error() const;

  private:
    struct impl;
    std::unique_ptr<impl> impl_;
};

}  // namespace kestro::detail
