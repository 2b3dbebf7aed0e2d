// The text pool of usage tables.
#include "types/usage.hpp"

namespace kestro {

std::uint32_t text_pool::intern(std::string_view text) {
    if (auto found = index_.find(text); found != index_.end()) return found->second;
    const auto index = static_cast<std::uint32_t>(texts_.size());
    index_.emplace(std::string_view(texts_.emplace_back(text)), index);
    return index;
}

}  // namespace kestro
