// Tests of discovery on temporary directory trees with chosen modification times.
#include "utils/discovery.hpp"

#include <dirent.h>
#include <fcntl.h>
#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <fstream>
#include <optional>
#include <string>
#include <vector>

namespace kestro {
namespace {

namespace fs = std::filesystem;
using paths = std::vector<fs::path>;

void set_mtime(const fs::path& p, std::int64_t sec, long nsec = 0) {
    const timespec times[2] = {{time_t(sec), nsec}, {time_t(sec), nsec}};
    ASSERT_EQ(::utimensat(AT_FDCWD, p.c_str(), times, 0), 0) << p;
}

// A fresh directory under the system's temporary directory, removed with everything in it.
struct temp_tree {
    fs::path root = [] {
        std::string pattern = (fs::temp_directory_path() / "kestro-discovery-XXXXXX").string();
        return fs::path(::mkdtemp(pattern.data()));
    }();
    ~temp_tree() { fs::remove_all(root); }

    fs::path dir(const fs::path& rel, std::int64_t sec = 1'000'000'000) const {
        fs::create_directories(root / rel);
        set_mtime(root / rel, sec);
        return root / rel;
    }
    // Creates the file with the given modification time (seconds, nanoseconds since 1970).
    fs::path file(const fs::path& rel, std::int64_t sec = 1'000'000'000, long nsec = 0) const {
        fs::create_directories((root / rel).parent_path());
        std::ofstream(root / rel) << "{}\n";
        set_mtime(root / rel, sec, nsec);
        return root / rel;
    }
};

paths ok(result<paths> r) {
    if (!r) ADD_FAILURE() << r.error().render();
    return r ? r.value() : paths{};
}

TEST(utils, sessions_newest_first_with_nanosecond_precision) {
    temp_tree t;
    const auto a = t.file("-p/a.jsonl", 2000, 0);
    const auto b = t.file("-p/b.jsonl", 1000, 0);
    const auto c = t.file("-p/c.jsonl", 2000, 1);
    const auto d = t.file("-p/d.jsonl", 1999, 999'999'999);
    EXPECT_EQ(ok(find_sessions(t.root, std::nullopt)), (paths{c, a, d, b}));
    EXPECT_EQ(ok(find_sessions(t.root, "-p")), (paths{c, a, d, b}));
}

TEST(utils, equal_times_come_in_reverse_listing_order) {
    temp_tree t;
    for (const char* n : {"k.jsonl", "b.jsonl", "x.jsonl", "a.jsonl", "m.jsonl", "q.jsonl"}) {
        t.file(fs::path("-p") / n, 1'700'000'000, 5);
    }
    paths want;
    DIR* d = ::opendir((t.root / "-p").c_str());
    while (const dirent* e = ::readdir(d)) {
        if (e->d_name[0] != '.') want.insert(want.begin(), t.root / "-p" / e->d_name);
    }
    ::closedir(d);
    EXPECT_EQ(ok(find_sessions(t.root, "-p")), want);
    EXPECT_EQ(ok(find_sessions(t.root, std::nullopt)), want);
}

TEST(utils, nested_sessions_found_only_without_a_project) {
    temp_tree t;
    const auto top = t.file("-proj/top.jsonl", 300);
    const auto deep = t.file("-proj/sub/deeper/deep.jsonl", 200);
    const auto other = t.file("archive/old.jsonl", 100);
    const auto at_base = t.file("base.jsonl", 400);
    EXPECT_EQ(ok(find_sessions(t.root, std::nullopt)), (paths{at_base, top, deep, other}));
    EXPECT_EQ(ok(find_sessions(t.root, "-proj")), (paths{top}));
    // An absolute project path stands on its own, whatever the base.
    EXPECT_EQ(ok(find_sessions(t.root / "archive", (t.root / "-proj").string())), (paths{top}));
    // A project that is missing or names a file has no sessions.
    t.file("-file.jsonl");
    EXPECT_TRUE(ok(find_sessions(t.root, "-absent")).empty());
    EXPECT_TRUE(ok(find_sessions(t.root, "-file.jsonl")).empty());
    temp_tree empty;
    EXPECT_TRUE(ok(find_sessions(empty.root, std::nullopt)).empty());
    EXPECT_TRUE(ok(find_projects(empty.root)).empty());
}

TEST(utils, session_files_are_regular_files_with_the_exact_extension) {
    temp_tree t;
    t.dir("-p/dir.jsonl");
    paths want;
    std::int64_t time = 1000;
    for (const char* name : {"notes.JSONL", "session.jsonl.bak", ".jsonl", "session.json"})
        t.file(fs::path("-p") / name, ++time);
    for (const char* name : {"session.jsonl", "a.b.jsonl", "..jsonl", ".hidden.jsonl"})
        want.insert(want.begin(), t.file(fs::path("-p") / name, ++time));
    EXPECT_EQ(ok(find_sessions(t.root, "-p")), want);
    EXPECT_EQ(ok(find_sessions(t.root, std::nullopt)), want);
}

TEST(utils, links_are_followed_dangling_links_skipped_and_loops_survived) {
    temp_tree t;
    const auto real = t.file("store/real.jsonl", 50);
    t.file("store2/inner.jsonl", 60);
    t.dir("-p");
    fs::create_symlink(real, t.root / "-p" / "linked.jsonl");
    fs::create_symlink(t.root / "missing.jsonl", t.root / "-p" / "dangling.jsonl");
    fs::create_directory_symlink(t.root / "store2", t.root / "-q");
    fs::create_directory_symlink(t.root / "gone", t.root / "-dangling");
    EXPECT_EQ(ok(find_sessions(t.root, "-p")), (paths{t.root / "-p" / "linked.jsonl"}));
    EXPECT_EQ(ok(find_sessions(t.root, "-q")), (paths{t.root / "-q" / "inner.jsonl"}));
    auto projects = ok(find_projects(t.root));
    std::sort(projects.begin(), projects.end());
    EXPECT_EQ(projects, (paths{t.root / "-p", t.root / "-q"}));
    // Links to an ancestor and to the folder itself.
    temp_tree loop;
    const auto s = loop.file("-p/s.jsonl");
    fs::create_directory_symlink("..", loop.root / "-p" / "up");
    fs::create_directory_symlink(".", loop.root / "-p" / "self");
    EXPECT_EQ(ok(find_sessions(loop.root, std::nullopt)), (paths{s}));
}

TEST(utils, projects_are_hyphenated_utf8_directories_newest_first) {
    temp_tree t;
    const auto app = t.dir("-home-user-app", 300);
    const auto cafe = t.dir("-caf\xc3\xa9", 100);
    const auto dash = t.dir("-", 200);
    for (const char* other : {"archive", "-bad\xff", "-overlong\xc0\xaf", "-surrogate\xed\xa0\x80"})
        t.dir(other, 400);
    t.file("-not-a-dir", 500);
    EXPECT_EQ(ok(find_projects(t.root)), (paths{app, dash, cafe}));
}

TEST(utils, a_base_that_is_missing_a_file_or_cut_by_a_nul_fails_to_list) {
    temp_tree t;
    t.file("-p/s.jsonl");
    // Cut at the NUL, the path would name the temporary tree.
    for (const fs::path& missing :
         {t.root / "no" / "such", fs::path(t.root.native() + std::string("\0/x", 3))}) {
        for (const auto& r : {find_sessions(missing, std::nullopt), find_sessions(missing, "-p"),
                              find_projects(missing)}) {
            ASSERT_FALSE(r.ok());
            ASSERT_NE(r.error().as_io(), nullptr);
            EXPECT_EQ(r.error().as_io()->code, ENOENT);
            EXPECT_EQ(r.error().render(), "IO error: Directory not found: " + missing.string());
        }
    }
    // Cut at the NUL, the project would name the one above.
    EXPECT_TRUE(ok(find_sessions(t.root, std::string("-p\0/x", 5))).empty());
    const auto f = t.file("plain.jsonl");
    for (const auto& r : {find_sessions(f, std::nullopt), find_projects(f)}) {
        ASSERT_FALSE(r.ok());
        EXPECT_EQ(r.error().render(), "IO error: Not a directory (os error 20)");
    }
    EXPECT_TRUE(ok(find_sessions(f, "-p")).empty());
}

// Sets or unsets HOME for one scope and restores the previous state afterwards.
struct home_override {
    std::optional<std::string> saved =
        std::getenv("HOME") ? std::optional<std::string>(std::getenv("HOME")) : std::nullopt;
    explicit home_override(const char* value) {
        value ? ::setenv("HOME", value, 1) : ::unsetenv("HOME");
    }
    ~home_override() { saved ? ::setenv("HOME", saved->c_str(), 1) : ::unsetenv("HOME"); }
};

TEST(utils, default_base_uses_home_else_the_account) {
    {
        home_override h("/srv/someone");
        EXPECT_EQ(default_base_directory(), fs::path("/srv/someone/.kestro/projects"));
    }
    // The password database's home of the real user, or "." when it has none.
    const passwd* pw = ::getpwuid(::getuid());
    const fs::path account = pw && pw->pw_dir && *pw->pw_dir ? fs::path(pw->pw_dir) : ".";
    for (const char* home : {"", static_cast<const char*>(nullptr)}) {
        home_override h(home);
        EXPECT_EQ(default_base_directory(), account / ".kestro" / "projects");
    }
}

}  // namespace
}  // namespace kestro
