// Discovery of project directories and session files through opendir/readdir and stat.
#include "utils/discovery.hpp"

#include "types/utf8.hpp"

#include <dirent.h>
#include <pwd.h>
#include <sys/stat.h>
#include <sys/types.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <cstdlib>
#include <new>
#include <set>
#include <string_view>
#include <utility>

namespace kestro {

namespace detail {
namespace {

namespace fs = std::filesystem;

struct found_entry {
    fs::path path;
    std::int64_t mtime_sec;
    std::int64_t mtime_nsec;
};

// One listed directory entry with the status read for it (following links).
struct listed_entry {
    std::string name;
    bool has_status;
    struct stat status;
};

// The entry names of `dir` in the order the operating system returns them, without "." and "..".
// The whole listing is read before anything else happens so that no directory stays open while
// a deeper one is walked.
result<std::vector<std::string>> list_names(const fs::path& dir) {
    DIR* d = ::opendir(dir.c_str());
    if (!d) return sdk_error::io(io_error::from_errno(errno));
    std::vector<std::string> names;
    for (;;) {
        errno = 0;
        const dirent* e = ::readdir(d);
        if (!e) {
            const int err = errno;
            ::closedir(d);
            if (err != 0) return sdk_error::io(io_error::from_errno(err));
            return names;
        }
        const std::string_view name = e->d_name;
        if (name == "." || name == "..") continue;
        names.emplace_back(name);
    }
}

// stat(2), except that the kernel running out of memory is a memory failure of the whole call,
// not an entry to treat as missing.
bool stat_entry(const char* path, struct stat& st) {
    if (::stat(path, &st) == 0) return true;
    if (errno == ENOMEM) throw std::bad_alloc();
    return false;
}

// Reads the status of every listed entry once; an entry whose status cannot be read (a dangling
// link, no permission on a link's target) keeps has_status false and is treated as nothing.
result<std::vector<listed_entry>> list_entries(const fs::path& dir) {
    auto names = list_names(dir);
    if (!names) return names.error();
    std::vector<listed_entry> entries;
    entries.reserve(names.value().size());
    for (std::string& name : names.value()) {
        listed_entry e{std::move(name), false, {}};
        e.has_status = stat_entry((dir / e.name).c_str(), e.status);
        entries.push_back(std::move(e));
    }
    return entries;
}

bool is_session_file_name(std::string_view name) {
    const std::size_t dot = name.rfind('.');
    // A dot at the start marks a hidden file, not an extension.
    if (dot == std::string_view::npos || dot == 0) return false;
    return name.substr(dot + 1) == "jsonl";
}

found_entry make_found(fs::path path, const struct stat& st) {
    return {std::move(path), static_cast<std::int64_t>(st.st_mtim.tv_sec),
            static_cast<std::int64_t>(st.st_mtim.tv_nsec)};
}

// Oldest first with a stable sort, then reversed: newest first, and entries with equal times in
// the reverse of the order in which they were found.
std::vector<fs::path> newest_first(std::vector<found_entry> found) {
    std::stable_sort(found.begin(), found.end(), [](const found_entry& a, const found_entry& b) {
        return std::pair(a.mtime_sec, a.mtime_nsec) < std::pair(b.mtime_sec, b.mtime_nsec);
    });
    std::reverse(found.begin(), found.end());
    std::vector<fs::path> paths;
    paths.reserve(found.size());
    for (found_entry& f : found)
        paths.push_back(std::move(f.path));
    return paths;
}

// The status of `path`, or false. The system call would read a path only up to a NUL byte and so
// name some other directory; a path with one names nothing.
bool status_of(const fs::path& path, struct stat& st) {
    if (path.native().find('\0') != std::string::npos) return false;
    return stat_entry(path.c_str(), st);
}

sdk_error directory_not_found(const fs::path& base) {
    return sdk_error::io(io_error::with_message("Directory not found: " + base.string(), ENOENT));
}

// Depth first in listing order, each subdirectory walked at the moment it is met. Links are
// followed, so every directory is remembered by device and inode and walked only once: a link
// back to an ancestor then ends instead of looping.
result<std::vector<found_entry>> walk_sessions(const fs::path& base, const struct stat& base_st) {
    struct open_dir {
        fs::path path;
        std::vector<listed_entry> entries;
        std::size_t next = 0;
    };
    std::set<std::pair<dev_t, ino_t>> walked{{base_st.st_dev, base_st.st_ino}};
    std::vector<found_entry> found;
    std::vector<open_dir> stack;

    auto first = list_entries(base);
    if (!first) return first.error();
    stack.push_back({base, std::move(first).value()});
    while (!stack.empty()) {
        open_dir& top = stack.back();
        if (top.next == top.entries.size()) {
            stack.pop_back();
            continue;
        }
        listed_entry& e = top.entries[top.next++];
        if (!e.has_status) continue;
        fs::path path = top.path / e.name;
        if (S_ISDIR(e.status.st_mode)) {
            if (!walked.emplace(e.status.st_dev, e.status.st_ino).second) continue;
            auto sub = list_entries(path);
            if (!sub) return sub.error();
            // The push may move the stack, so `top` and `e` are not touched after it.
            stack.push_back({std::move(path), std::move(sub).value()});
        } else if (S_ISREG(e.status.st_mode) && is_session_file_name(e.name)) {
            found.push_back(make_found(std::move(path), e.status));
        }
    }
    return found;
}

}  // namespace
}  // namespace detail

std::filesystem::path default_base_directory() {
    std::filesystem::path home;
    if (const char* env = std::getenv("HOME"); env && *env) {
        home = env;
    } else {
        long hint = ::sysconf(_SC_GETPW_R_SIZE_MAX);
        std::vector<char> buf(hint > 0 ? static_cast<std::size_t>(hint) : 1024);
        passwd pw{};
        passwd* found = nullptr;
        int rc;
        while ((rc = ::getpwuid_r(::getuid(), &pw, buf.data(), buf.size(), &found)) == ERANGE) {
            buf.resize(buf.size() * 2);
        }
        if (rc == 0 && found && found->pw_dir && *found->pw_dir) {
            home = found->pw_dir;
        } else {
            home = ".";
        }
    }
    return home / ".kestro" / "projects";
}

result<std::vector<std::filesystem::path>> find_sessions(
    const std::filesystem::path& base, const std::optional<std::string>& project) {
    struct stat base_st;
    if (!detail::status_of(base, base_st)) return detail::directory_not_found(base);

    if (!project) {
        auto found = detail::walk_sessions(base, base_st);
        if (!found) return found.error();
        return detail::newest_first(std::move(found).value());
    }

    // Joining with an absolute project path yields that path, as wanted.
    const std::filesystem::path dir = base / *project;
    struct stat dir_st;
    if (!detail::status_of(dir, dir_st) || !S_ISDIR(dir_st.st_mode)) {
        return std::vector<std::filesystem::path>{};
    }
    auto entries = detail::list_entries(dir);
    if (!entries) return entries.error();
    std::vector<detail::found_entry> found;
    for (const detail::listed_entry& e : entries.value()) {
        if (e.has_status && S_ISREG(e.status.st_mode) && detail::is_session_file_name(e.name)) {
            found.push_back(detail::make_found(dir / e.name, e.status));
        }
    }
    return detail::newest_first(std::move(found));
}

result<std::vector<std::filesystem::path>> find_projects(const std::filesystem::path& base) {
    struct stat base_st;
    if (!detail::status_of(base, base_st)) return detail::directory_not_found(base);
    auto entries = detail::list_entries(base);
    if (!entries) return entries.error();
    std::vector<detail::found_entry> found;
    for (const detail::listed_entry& e : entries.value()) {
        if (!e.has_status || !S_ISDIR(e.status.st_mode)) continue;
        if (e.name.empty() || e.name.front() != '-' || !is_valid_utf8(e.name)) continue;
        found.push_back(detail::make_found(base / e.name, e.status));
    }
    return detail::newest_first(std::move(found));
}

bool entry_exists(const std::string& path) {
    if (path.find('\0') != std::string::npos) return false;
    struct stat st {};
    return ::stat(path.c_str(), &st) == 0;
}

}  // namespace kestro
