// SipHash-1-3 and the per-process key it runs under.
#include "types/keyed_hash.hpp"

#include <sys/random.h>
#include <time.h>
#include <unistd.h>

#include <bit>
#include <cerrno>
#include <cstring>

namespace kestro {

namespace {

struct sip_state {
    std::uint64_t v0, v1, v2, v3;

    void round() noexcept {
        v0 += v1;
        v1 = std::rotl(v1, 13);
        v1 ^= v0;
        v0 = std::rotl(v0, 32);
        v2 += v3;
        v3 = std::rotl(v3, 16);
        v3 ^= v2;
        v0 += v3;
        v3 = std::rotl(v3, 21);
        v3 ^= v0;
        v2 += v1;
        v1 = std::rotl(v1, 17);
        v1 ^= v2;
        v2 = std::rotl(v2, 32);
    }

    template <int rounds>
    void absorb(std::uint64_t m) noexcept {
        v3 ^= m;
        for (int i = 0; i < rounds; ++i)
            round();
        v0 ^= m;
    }
};

std::uint64_t load_le(const unsigned char* p, std::size_t n) noexcept {
    std::uint64_t m = 0;
    for (std::size_t i = 0; i < n; ++i)
        m |= std::uint64_t(p[i]) << (8 * i);
    return m;
}

hash_key draw_key() noexcept {
    hash_key key{};
    auto* out = reinterpret_cast<unsigned char*>(key.data());
    std::size_t got = 0;
    while (got < sizeof key) {
        const ssize_t n = ::getrandom(out + got, sizeof key - got, 0);
        if (n > 0) {
            got += std::size_t(n);
        } else if (n < 0 && errno != EINTR) {
            break;
        }
    }
    if (got < sizeof key) {
        // No random source (a very old kernel, a seccomp filter): a key that still differs from
        // process to process and from run to run beats a fixed one.
        timespec ts{};
        ::clock_gettime(CLOCK_MONOTONIC, &ts);
        key[0] ^= std::uint64_t(ts.tv_nsec) * 0x9E3779B97F4A7C15ULL ^ std::uint64_t(::getpid());
        key[1] ^= std::uint64_t(ts.tv_sec) ^ reinterpret_cast<std::uintptr_t>(&key);
    }
    return key;
}

}  // namespace

const hash_key& process_hash_key() noexcept {
    static const hash_key key = draw_key();
    return key;
}

namespace detail {

template <int compression, int finalization>
std::uint64_t sip_hash(const hash_key& key, const void* data, std::size_t size) noexcept {
    sip_state s{key[0] ^ 0x736f6d6570736575ULL, key[1] ^ 0x646f72616e646f6dULL,
                key[0] ^ 0x6c7967656e657261ULL, key[1] ^ 0x7465646279746573ULL};
    const auto* p = static_cast<const unsigned char*>(data);
    const std::size_t whole = size & ~std::size_t{7};
    for (std::size_t i = 0; i < whole; i += 8) {
        std::uint64_t m;
        std::memcpy(&m, p + i, 8);
        if constexpr (std::endian::native == std::endian::big) m = __builtin_bswap64(m);
        s.absorb<compression>(m);
    }
    s.absorb<compression>(load_le(p + whole, size - whole) | (std::uint64_t(size) << 56));
    s.v2 ^= 0xff;
    for (int i = 0; i < finalization; ++i)
        s.round();
    return s.v0 ^ s.v1 ^ s.v2 ^ s.v3;
}

template std::uint64_t sip_hash<1, 3>(const hash_key&, const void*, std::size_t) noexcept;
template std::uint64_t sip_hash<2, 4>(const hash_key&, const void*, std::size_t) noexcept;

}  // namespace detail

}  // namespace kestro
