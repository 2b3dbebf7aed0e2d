// Hashing keyed with a per-process random secret, so that crafted keys cannot be made to collide.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <string_view>

namespace kestro {

// Two 64-bit words of secret key.
using hash_key = std::array<std::uint64_t, 2>;

// The key drawn from the operating system's random source the first time it is asked for, then
// fixed for the life of the process. Thread-safe.
[[nodiscard]] const hash_key& process_hash_key() noexcept;

namespace detail {
// SipHash with `compression` rounds per 8-byte word and `finalization` rounds at the end;
// instantiated for 1-3 (used) and 2-4 (the variant with published test vectors). O(size).
template <int compression, int finalization>
[[nodiscard]] std::uint64_t sip_hash(const hash_key& key, const void* data,
                                     std::size_t size) noexcept;
}  // namespace detail

// SipHash-1-3 of `size` bytes under `key`: the keyed function the interpreter uses for its own
// strings. Without the key nobody can choose inputs whose hashes collide. O(size).
[[nodiscard]] inline std::uint64_t keyed_hash(const hash_key& key, const void* data,
                                              std::size_t size) noexcept {
    return detail::sip_hash<1, 3>(key, data, size);
}

// The same with the per-process key.
[[nodiscard]] inline std::uint64_t keyed_hash(const void* data, std::size_t size) noexcept {
    return keyed_hash(process_hash_key(), data, size);
}

// For tables of texts viewed elsewhere (tool-use ids, tool names).
struct text_hash {
    std::uint64_t operator()(std::string_view text) const noexcept {
        return keyed_hash(text.data(), text.size());
    }
};

}  // namespace kestro
