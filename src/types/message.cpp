// Texts of the record enumerations that are not tables.
#include "types/message.hpp"

namespace kestro {

std::string_view debug_text(role v) {
    return v == role::user ? "User" : "Assistant";
}

}  // namespace kestro
