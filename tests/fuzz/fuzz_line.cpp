// Fuzz target: one log line through both JSON readers and both record mappings.
#include <cstddef>
#include <cstdint>

#include "fuzz_checks.hpp"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    kestro::fuzz::check_line(data, size);
    return 0;
}
