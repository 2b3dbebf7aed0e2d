// Finding project directories and session files under a base directory.
#pragma once

#include <filesystem>
#include <optional>
#include <string>
#include <vector>

#include "error.hpp"

namespace kestro {

// HOME when set and not empty, else the password database's home of the real user, else ".";
// then joined with ".kestro/projects". Never fails.
std::filesystem::path default_base_directory();

// Session files (regular, extension exactly "jsonl") under `base`: the whole tree when
// `project` is absent (following directory links, each directory walked once), else the
// entries of base/project only. Newest modification first; ties in reverse discovery order.
result<std::vector<std::filesystem::path>> find_sessions(const std::filesystem::path& base,
                                                         const std::optional<std::string>& project);

// Directories directly inside `base` whose UTF-8 name begins with "-", newest first.
result<std::vector<std::filesystem::path>> find_projects(const std::filesystem::path& base);

// Whether `path` names an entry, following links. A path holding a NUL byte names nothing.
bool entry_exists(const std::string& path);

}  // namespace kestro
