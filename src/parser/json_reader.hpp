// Parsing one log line as JSON: simdjson first, a precise RapidJSON path when it refuses.
#pragma once

#include <simdjson.h>

#include <cstddef>
#include <string>
#include <string_view>
#include <vector>

#include "error.hpp"
#include "types/json_value.hpp"

namespace kestro::detail {

// Arrays and objects nested this deep are accepted; one level more is an error.
inline constexpr std::size_t max_json_depth = 127;

// The precise reader: accepts exactly the log format's JSON grammar. Integer literals beyond
// the 64-bit ranges become doubles; a number beyond the range of a double fails. Fails with a
// JSON error whose text is "<what> at line 1 column <N>" (N counts bytes from 1).
// Iterative: nesting depth costs heap, not stack. Linear in the line length.
[[nodiscard]] result<json_value> parse_json_precise(std::string_view line);

// Parses lines one after another, reusing its buffers. Not thread-safe; one per parse.
class line_reader {
  public:
    enum class outcome { dom, value, failed };

    line_reader();

    // `readable` is how many bytes can be read from line.data() onward (at least line.size());
    // with SIMDJSON_PADDING spare bytes the line is parsed where it lies, else it is copied.
    // The results stay valid until the next call.
    [[nodiscard]] outcome parse(std::string_view line, std::size_t readable);

    [[nodiscard]] simdjson::dom::element dom() const { return dom_; }
    [[nodiscard]] json_value& value() { return value_; }
    // The description for outcome::failed (without the "Invalid JSON: " prefix).
    [[nodiscard]] const std::string& error() const { return error_; }

  private:
    outcome slow_path(std::string_view line, simdjson::error_code fast_error);

    simdjson::dom::parser parser_;
    std::vector<char> padded_;
    simdjson::dom::element dom_;
    json_value value_;
    std::string error_;
};

}  // namespace kestro::detail
