// One log line read as JSON, for the mappings: the fast reader, then the precise one, then UTF-8.
//
// Internal to parser/: it includes simdjson, so only parser sources (and tests) include it.
#pragma once

#include <simdjson.h>

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "parser/json_reader.hpp"
#include "parser/json_view.hpp"
#include "parser/line_source.hpp"

namespace kestro::detail {

// Every mapping reads its lines through one of these, so all of them agree on what a line is:
// the same grammar, the same failure texts, and the same order of checks (a line that is
// neither valid UTF-8 nor JSON is reported as not UTF-8). Not thread-safe; one per read.
class json_line_reader {
  public:
    enum class outcome : std::uint8_t {
        dom,           // parsed by the fast reader: use dom()
        value,         // parsed by the precise reader: use value()
        not_utf8,      // the line is not UTF-8 (checked before its JSON is judged)
        invalid_json,  // UTF-8 but not JSON: error() describes where
        too_long,      // longer than max_line_bytes: no reader takes it
    };

    // The fast reader's limit. The precise one would take longer lines, but no log has them,
    // and saying so beats a JSON syntax error about a line that may be valid.
    static constexpr std::size_t max_line_bytes = kestro::max_line_bytes;
    static_assert(max_line_bytes == simdjson::SIMDJSON_MAXSIZE_BYTES);

    // `readable` as in the line handler contract of parser/line_source.hpp. The views and the
    // error stay valid until the next call.
    [[nodiscard]] outcome read(std::string_view text, std::size_t readable) {
        if (text.size() > max_line_bytes) return outcome::too_long;
        const line_reader::outcome parsed = reader_.parse(text, readable);
        // simdjson validates every line it accepts, so only refused lines are checked here.
        if (parsed != line_reader::outcome::dom && !simdjson::validate_utf8(text)) {
            return outcome::not_utf8;
        }
        switch (parsed) {
            case line_reader::outcome::dom:
                return outcome::dom;
            case line_reader::outcome::value:
                return outcome::value;
            case line_reader::outcome::failed:
                break;
        }
        return outcome::invalid_json;
    }

    [[nodiscard]] dom_view dom() const { return dom_view(reader_.dom()); }
    [[nodiscard]] json_view value() { return json_view(reader_.value()); }
    // For outcome::invalid_json: "<what> at line 1 column <N>" (N counts bytes from 1).
    [[nodiscard]] const std::string& error() const { return reader_.error(); }

  private:
    line_reader reader_;
};

}  // namespace kestro::detail
