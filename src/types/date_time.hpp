// A UTC instant with nanoseconds: RFC 3339 reading and writing, differences.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <variant>

#include "error.hpp"

namespace kestro {

// A signed span of time: seconds + nanos / 1e9, with 0 <= nanos < 1e9.
struct time_span {
    std::int64_t seconds = 0;
    std::uint32_t nanos = 0;

    // Whole seconds truncated toward zero (-1.5 s gives -1).
    [[nodiscard]] std::int64_t whole_seconds() const;
    // Whole milliseconds truncated toward zero.
    [[nodiscard]] std::int64_t whole_milliseconds() const;
    friend bool operator==(const time_span&, const time_span&) = default;
};

struct date_time {
    std::int64_t seconds = 0;  // since 1970-01-01T00:00:00Z
    std::uint32_t nanos = 0;   // 0 .. 999'999'999

    // RFC 3339 with a mandatory offset: `T`/`t` separator, `Z`/`z` or +hh:mm/-hh:mm, one or more
    // fraction digits (kept to nanoseconds). Fails with an invalid-timestamp parse error whose
    // text describes the fault.
    static result<date_time> parse(std::string_view text);
    // YYYY-MM-DDTHH:MM:SS, a fraction of 0, 3, 6 or 9 digits, then +00:00.
    [[nodiscard]] std::string to_rfc3339() const;

    friend time_span operator-(const date_time& a, const date_time& b);
    friend bool operator==(const date_time&, const date_time&) = default;
    friend auto operator<=>(const date_time&, const date_time&) = default;
};

}  // namespace kestro
