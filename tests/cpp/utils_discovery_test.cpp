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

// A fresh directory under the system's temporary directory, removed with everything in it.
class temp_tree {
  public:
    temp_tree() {
        std::string pattern = (fs::temp_directory_path() / "kestro-discovery-XXXXXX").string();
        root_ = ::mkdtemp(pattern.data());
    }
    ~temp_tree() {
        std::error_code ec;
        fs::remove_all(root_, ec);
    }
    [[nodiscard]] const fs::path& root() const { return root_; }

    fs::path dir(const fs::path& rel) const {
        fs::create_directories(root_ / rel);
        return root_ / rel;
    }
    // Creates the file with the given modification time (seconds, nanoseconds since 1970).
    fs::path file(const fs::path& rel, std::int64_t sec = 1'000'000'000, long nsec = 0) const {
        const fs::path p = root_ / rel;
        fs::create_directories(p.parent_path());
        std::ofstream(p) << "{}\n";
        set_mtime(p, sec, nsec);
        return p;
    }
    static void set_mtime(const fs::path& p, std::int64_t sec, long nsec) {
        const timespec times[2] = {{static_cast<time_t>(sec), nsec},
                                   {static_cast<time_t>(sec), nsec}};
        if (::utimensat(AT_FDCWD, p.c_str(), times, 0) != 0) {
            throw std::runtime_error("utimensat failed");
        }
    }

  private:
    fs::path root_;
};

std::vector<fs::path> ok(result<std::vector<fs::path>> r) {
    if (!r) ADD_FAILURE() << r.error().render();
    return r ? r.value() : std::vector<fs::path>{};
}

// Names in `dir` in the order the operating system lists them.
std::vector<std::string> os_order(const fs::path& dir) {
    std::vector<std::string> names;
    DIR* d = ::opendir(dir.c_str());
    while (const dirent* e = ::readdir(d)) {
        const std::string n = e->d_name;
        if (n != "." && n != "..") names.push_back(n);
    }
    ::closedir(d);
    return names;
}

TEST(utils, sessions_newest_first_with_nanosecond_precision) {
    temp_tree t;
    const auto a = t.file("-p/a.jsonl", 2000, 0);
    const auto b = t.file("-p/b.jsonl", 1000, 0);
    const auto c = t.file("-p/c.jsonl", 2000, 1);
    const auto d = t.file("-p/d.jsonl", 1999, 999'999'999);
    EXPECT_EQ(ok(find_sessions(t.root(), std::nullopt)), (std::vector<fs::path>{c, a, d, b}));
    EXPECT_EQ(ok(find_sessions(t.root(), "-p")), (std::vector<fs::path>{c, a, d, b}));
}

TEST(utils, equal_times_come_in_reverse_listing_order) {
    temp_tree t;
    for (const char* n : {"k.jsonl", "b.jsonl", "x.jsonl", "a.jsonl", "m.jsonl", "q.jsonl"}) {
        t.file(fs::path("-p") / n, 1'700'000'000, 5);
    }
    std::vector<fs::path> want;
    for (const auto& n : os_order(t.root() / "-p"))
        want.push_back(t.root() / "-p" / n);
    std::reverse(want.begin(), want.end());
    EXPECT_EQ(ok(find_sessions(t.root(), "-p")), want);
    EXPECT_EQ(ok(find_sessions(t.root(), std::nullopt)), want);
}

TEST(utils, nested_sessions_found_only_without_a_project) {
    temp_tree t;
    const auto top = t.file("-proj/top.jsonl", 300);
    const auto deep = t.file("-proj/sub/deeper/deep.jsonl", 200);
    const auto other = t.file("archive/old.jsonl", 100);
    const auto at_base = t.file("base.jsonl", 400);
    EXPECT_EQ(ok(find_sessions(t.root(), std::nullopt)),
              (std::vector<fs::path>{at_base, top, deep, other}));
    EXPECT_EQ(ok(find_sessions(t.root(), "-proj")), (std::vector<fs::path>{top}));
    // An absolute project path stands on its own, whatever the base.
    EXPECT_EQ(ok(find_sessions(t.root() / "archive", (t.root() / "-proj").string())),
              (std::vector<fs::path>{top}));
}

TEST(utils, missing_project_project_naming_a_file_or_empty_base_give_empty_lists) {
    temp_tree t;
    t.file("-p/s.jsonl");
    t.file("-file.jsonl");
    EXPECT_TRUE(ok(find_sessions(t.root(), "-absent")).empty());
    EXPECT_TRUE(ok(find_sessions(t.root(), "-file.jsonl")).empty());
    temp_tree empty;
    EXPECT_TRUE(ok(find_sessions(empty.root(), std::nullopt)).empty());
    EXPECT_TRUE(ok(find_projects(empty.root())).empty());
}

TEST(utils, session_files_are_regular_files_with_the_exact_extension) {
    temp_tree t;
    t.dir("-p/dir.jsonl");
    std::vector<fs::path> want;
    std::int64_t time = 1000;
    for (const char* name : {"notes.JSONL", "session.jsonl.bak", ".jsonl", "session.json"})
        t.file(fs::path("-p") / name, ++time);
    for (const char* name : {"session.jsonl", "a.b.jsonl", "..jsonl", ".hidden.jsonl"})
        want.insert(want.begin(), t.file(fs::path("-p") / name, ++time));
    EXPECT_EQ(ok(find_sessions(t.root(), "-p")), want);
    EXPECT_EQ(ok(find_sessions(t.root(), std::nullopt)), want);
}

TEST(utils, walk_survives_a_link_to_an_ancestor) {
    temp_tree t;
    const auto s = t.file("-p/s.jsonl");
    fs::create_directory_symlink("..", t.root() / "-p" / "up");
    fs::create_directory_symlink(".", t.root() / "-p" / "self");
    EXPECT_EQ(ok(find_sessions(t.root(), std::nullopt)), (std::vector<fs::path>{s}));
}

TEST(utils, links_are_followed_and_dangling_links_skipped) {
    temp_tree t;
    const auto real = t.file("store/real.jsonl", 50);
    t.file("store2/inner.jsonl", 60);
    t.dir("-p");
    fs::create_symlink(real, t.root() / "-p" / "linked.jsonl");
    fs::create_symlink(t.root() / "missing.jsonl", t.root() / "-p" / "dangling.jsonl");
    fs::create_directory_symlink(t.root() / "store2", t.root() / "-q");
    fs::create_directory_symlink(t.root() / "gone", t.root() / "-dangling");
    EXPECT_EQ(ok(find_sessions(t.root(), "-p")),
              (std::vector<fs::path>{t.root() / "-p" / "linked.jsonl"}));
    EXPECT_EQ(ok(find_sessions(t.root(), "-q")),
              (std::vector<fs::path>{t.root() / "-q" / "inner.jsonl"}));
    auto projects = ok(find_projects(t.root()));
    std::sort(projects.begin(), projects.end());
    EXPECT_EQ(projects, (std::vector<fs::path>{t.root() / "-p", t.root() / "-q"}));
}

TEST(utils, projects_are_hyphenated_utf8_directories_newest_first) {
    temp_tree t;
    const auto app = t.dir("-home-user-app");
    const auto cafe = t.dir("-caf\xc3\xa9");
    const auto dash = t.dir("-");
    t.dir("archive");
    t.dir("-bad\xff");
    t.dir("-overlong\xc0\xaf");
    t.dir("-surrogate\xed\xa0\x80");
    t.file("-not-a-dir");
    temp_tree::set_mtime(app, 300, 0);
    temp_tree::set_mtime(cafe, 100, 0);
    temp_tree::set_mtime(dash, 200, 0);
    EXPECT_EQ(ok(find_projects(t.root())), (std::vector<fs::path>{app, dash, cafe}));
}

TEST(utils, missing_base_is_directory_not_found) {
    temp_tree t;
    const fs::path missing = t.root() / "no" / "such";
    for (const auto& r : {find_sessions(missing, std::nullopt), find_sessions(missing, "-p"),
                          find_projects(missing)}) {
        ASSERT_FALSE(r.ok());
        ASSERT_NE(r.error().as_io(), nullptr);
        EXPECT_EQ(r.error().as_io()->code, ENOENT);
        EXPECT_EQ(r.error().render(), "IO error: Directory not found: " + missing.string());
    }
}

TEST(utils, base_naming_a_file_fails_to_list) {
    temp_tree t;
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

// The password database's home of the real user, or "." when it has none.
fs::path account_home() {
    const passwd* pw = ::getpwuid(::getuid());
    return pw && pw->pw_dir && *pw->pw_dir ? fs::path(pw->pw_dir) : fs::path(".");
}

TEST(utils, default_base_uses_home_else_the_account) {
    {
        home_override h("/srv/someone");
        EXPECT_EQ(default_base_directory(), fs::path("/srv/someone/.kestro/projects"));
    }
    const fs::path want = account_home() / ".kestro" / "projects";
    for (const char* home : {"", static_cast<const char*>(nullptr)}) {
        home_override h(home);
        EXPECT_EQ(default_base_directory(), want);
    }
}

}  // namespace
}  // namespace kestro
