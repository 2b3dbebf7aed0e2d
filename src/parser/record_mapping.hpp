// Mapping one parsed log line onto a message or summary record.
#pragma once

#include <memory>
#include <string>
#include <string_view>

#include "error.hpp"
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

    // The line's object must already be known to be an object with a string `type`. Maps in
    // place into `out`; fails with a JSON error whose text says what did not fit (without the
    // record prefix), and `out` is then partly filled.
    [[nodiscard]] result<void> map_message(dom_view object, message_record& out);
    [[nodiscard]] result<void> map_message(json_view object, message_record& out);
    [[nodiscard]] result<void> map_summary(dom_view object, summary_record& out);
    [[nodiscard]] result<void> map_summary(json_view object, summary_record& out);

  private:
    struct impl;
    std::unique_ptr<impl> impl_;
};

}  // namespace kestro::detail
