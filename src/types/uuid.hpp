// A 128-bit identifier read from any standard text form, shown lower-case hyphenated.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <variant>

namespace kestro {

struct uuid {
    std::array<std::uint8_t, 16> bytes{};

    // Accepts 32 hex digits, 8-4-4-4-12, {8-4-4-4-12} and urn:uuid:8-4-4-4-12, any case.
    // On failure the variant holds the description of the fault (without any prefix).
    static std::variant<uuid, std::string> parse(std::string_view text);
    // 36 characters, lower case, groups 8-4-4-4-12.
    [[nodiscard]] std::string to_string() const;

    friend bool operator==(const uuid&, const uuid&) = default;
    friend auto operator<=>(const uuid&, const uuid&) = default;
};

struct uuid_hash {
    std::size_t operator()(const uuid& u) const noexcept;
};

}  // namespace kestro
