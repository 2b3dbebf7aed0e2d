// A 128-bit identifier read from any standard text form, shown lower-case hyphenated.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "error.hpp"

namespace kestro {

struct uuid {
    std::array<std::uint8_t, 16> bytes{};

    // Accepts 32 hex digits, 8-4-4-4-12, {8-4-4-4-12} and urn:uuid:8-4-4-4-12, any case.
    // Fails with an invalid-UUID parse error whose text describes the fault.
    static result<uuid> parse(std::string_view text);
    // 36 characters, lower case, groups 8-4-4-4-12.
    [[nodiscard]] std::string to_string() const;

    friend bool operator==(const uuid&, const uuid&) = default;
    friend auto operator<=>(const uuid&, const uuid&) = default;
};

struct uuid_hash {
    std::size_t operator()(const uuid& u) const noexcept;
};

}  // namespace kestro
