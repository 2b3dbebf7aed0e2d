// A project: its directory found by name, its session files loaded in parallel, its totals.
#pragma once

#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "parser/strict_mapping.hpp"
#include "session/session.hpp"

namespace kestro {

// The first of `projects` (in their order) whose final path component is UTF-8 and contains
// `identifier`; none when no project matches.
std::optional<std::filesystem::path> match_project(
    const std::vector<std::filesystem::path>& projects, std::string_view identifier);

// How load_sessions may run.
struct load_options {
    // Threads to parse on, the calling one included, at most one per file; 0: as many as the
    // process may run on cores at once (see available_cores).
    std::size_t threads = 0;
    // Polled on the calling thread, between blocks and every few milliseconds while it waits
    // for the other threads; returning true stops every thread at its next block and makes
    // the load fail with the I/O error "interrupted". Empty: the load is never cancelled.
    std::function<bool()> cancelled;
};

// The cores this process may run on (its CPU affinity), at least 1.
std::size_t available_cores();

// Loads the session files, in parallel (the files are independent), opening each without
// waiting and reading only regular files: a file that is no longer one when it is opened fails
// with "IO error: not a regular file". What each file's read said reaches `warn` afterwards,
// on this thread, in file order, as if the files had been read one by one: its warning lines,
// then for a file that failed "Warning: Failed to parse session <path>: <error>". Files that
// fail are left out of the result, which keeps file order. A std::bad_alloc met on any thread
// is rethrown here, after the warnings of the files before it: running out of memory is no
// fault of a file. A cancelled load warns nothing. Touches no Python state.
result<std::vector<std::shared_ptr<const session>>> load_sessions(
    const std::vector<std::filesystem::path>& paths, const warning_sink& warn,
    const load_options& options = {});

// Why load_project stopped short of loading.
enum class project_failure : unsigned char {
    no_match,          // no project under the base directory has the identifier in its name
    missing,           // the project directory does not exist
    listing_projects,  // the base directory could not be listed; see `error`
    listing_sessions,  // the project directory could not be listed; see `error`
    interrupted,       // options.cancelled said so
};

// What load_project found: the directory once located, the sessions once loaded.
struct loaded_project {
    std::filesystem::path directory;
    std::vector<std::shared_ptr<const session>> sessions;  // as load_sessions returns them
    std::optional<project_failure> failure;
    std::optional<sdk_error> error;  // only with the two listing failures
};

// Locates a project and loads its sessions. An identifier holding a path separator is the
// project directory itself; any other names the first project under `base` (find_projects'
// order) whose name contains it. The directory must exist (links followed); its session files
// (find_sessions) then load as load_sessions loads them, warnings to `warn`. Touches no
// Python state.
loaded_project load_project(std::string_view identifier, const std::filesystem::path& base,
                            const warning_sink& warn, const load_options& options = {});

// The totals of a project's sessions.
struct project_summary {
    std::string name;
    std::size_t session_count = 0;
    double total_cost = 0.0;
    std::uint64_t total_messages = 0;
    std::vector<std::pair<std::string, std::uint64_t>> tool_usage_count;  // first-use order
    std::optional<std::int64_t> total_duration;  // whole seconds; none when no session has one
};

// Sums cost, messages, tool uses (by name, in order of first use across the sessions) and the
// durations of the sessions that have one. O(sessions + distinct tools).
project_summary summarize_project(std::string name,
                                  const std::vector<std::shared_ptr<const session>>& sessions);

}  // namespace kestro
