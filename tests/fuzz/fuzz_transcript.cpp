// Fuzz target: a whole file through the complete reader.
#include <cstddef>
#include <cstdint>

#include "fuzz_checks.hpp"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    kestro::fuzz::check_transcript(data, size);
    return 0;
}
