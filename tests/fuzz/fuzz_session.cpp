// Fuzz target: a whole session file's bytes through the parser and every analysis.
#include <cstddef>
#include <cstdint>

#include "fuzz_checks.hpp"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    kestro::fuzz::check_session(data, size);
    return 0;
}
