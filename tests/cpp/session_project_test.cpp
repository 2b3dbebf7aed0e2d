// Projects: finding one by name, loading its files in parallel in file order, its totals.
#include "session/project.hpp"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <string>
#include <utility>
#include <vector>

namespace kestro {
namespace {

namespace fs = std::filesystem;

std::string line(const std::string& role, int n, const std::string& session, double cost,
                 const std::string& time, const std::string& content) {
    return R"({"isSidechain":false,"userType":"external","cwd":"/w","sessionId":")" + session +
           R"(","version":"1","type":")" + role + R"(","message":{"role":")" + role +
           R"(","content":)" + content + R"(},"uuid":"00000000-0000-4000-8000-00000000000)" +
           std::to_string(n) + R"(","timestamp":")" + time + R"(","costUSD":)" +
           std::to_string(cost) + "}\n";
}
std::string tool_use(const std::string& name) {
    return R"([{"type":"tool_use","id":"t","name":")" + name + R"(","input":{}}])";
}

struct temp_dir {
    fs::path path = [] {
        char pattern[] = "/tmp/project-test-XXXXXX";
        return fs::path(::mkdtemp(pattern));
    }();
    ~temp_dir() { fs::remove_all(path); }
    fs::path write(const std::string& name, const std::string& bytes) const {
        std::ofstream(path / name, std::ios::binary) << bytes;
        return path / name;
    }
};

struct match_case {
    const char* name;
    std::vector<fs::path> projects;
    std::string identifier;
    std::optional<fs::path> expected;
};

class session_match_project : public testing::TestWithParam<match_case> {};

TEST_P(session_match_project, picks_the_first_final_component_containing_the_name) {
    EXPECT_EQ(match_project(GetParam().projects, GetParam().identifier), GetParam().expected);
}

const std::vector<match_case> match_cases{
    {"first_in_order_wins", {"/b/-x-app", "/b/-y-app"}, "app", fs::path("/b/-x-app")},
    {"substring_of_the_last_component", {"/app/-x-one"}, "app", std::nullopt},
    {"trailing_separator_ignored", {"/b/-x-app/"}, "x-a", fs::path("/b/-x-app/")},
    {"not_utf8_skipped", {"/b/\xff-app", "/b/ok-app"}, "app", fs::path("/b/ok-app")},
    {"none", {"/b/one"}, "two", std::nullopt},
};
INSTANTIATE_TEST_SUITE_P(session, session_match_project, testing::ValuesIn(match_cases),
                         [](const auto& p) { return std::string(p.param.name); });

TEST(session, project_files_load_in_file_order_with_their_warnings_in_order) {
    temp_dir dir;
    std::vector<fs::path> paths;
    // Enough files that both threads take some, each with a warning of its own; the first is by
    // far the largest, so files after it finish first.
    for (int i = 0; i < 12; ++i) {
        std::string bytes = "{\"type\":\"note" + std::to_string(i) + "\"}\n";
        const std::string user =
            line("user", 1, "s" + std::to_string(i), 0.0, "2025-06-01T08:00:00Z", "\"hi\"");
        for (int copies = i == 0 ? 40'000 : 1; copies > 0; --copies)
            bytes += user;
        if (i == 5) bytes = "{\"type\":\"note5\"}\nnot json\n";
        paths.push_back(dir.write("f" + std::to_string(i) + ".jsonl", bytes));
    }
    std::vector<std::string> warnings;
    auto sessions =
        load_sessions(paths, [&](std::string_view w) { warnings.emplace_back(w); }).value();
    ASSERT_EQ(sessions.size(), 11u);
    std::vector<std::string> expected;
    for (int i = 0; i < 12; ++i) {
        expected.push_back("Warning: Unknown record type 'note" + std::to_string(i) +
                           "' at line 1, skipping");
        if (i == 5) {
            expected.push_back("Warning: Failed to parse session " + paths[5].native() +
                               ": Parse error: Invalid JSONL format at line 2: Invalid JSON: "
                               "expected ident at line 1 column 2");
        }
    }
    EXPECT_EQ(warnings, expected);
    for (std::size_t i = 0; i < sessions.size(); ++i) {
        EXPECT_EQ(sessions[i]->parsed.session_id, "s" + std::to_string(i < 5 ? i : i + 1));
    }
}

// A session file swapped for a FIFO after it was listed is refused when opened, not waited on.
TEST(session, project_files_that_are_no_longer_regular_are_skipped_at_once) {
    temp_dir dir;
    const auto a =
        dir.write("a.jsonl", line("user", 1, "a", 0.0, "2025-06-01T08:00:00Z", "\"hi\""));
    const auto fifo = dir.path / "f.jsonl";
    ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
    const int writer = ::open(fifo.c_str(), O_RDWR);
    std::vector<std::string> warnings;
    const auto sessions = load_sessions({fifo, a, "/dev/null"},
                                        [&](std::string_view w) { warnings.emplace_back(w); });
    ::close(writer);
    ASSERT_TRUE(sessions.ok());
    ASSERT_EQ(sessions.value().size(), 1u);
    EXPECT_EQ(
        warnings,
        (std::vector<std::string>{
            "Warning: Failed to parse session " + fifo.native() + ": IO error: not a regular file",
            "Warning: Failed to parse session /dev/null: IO error: not a regular file"}));
}

TEST(session, a_cancelled_project_load_stops_and_warns_nothing) {
    temp_dir dir;
    std::vector<fs::path> paths;
    for (int i = 0; i < 40; ++i) {
        paths.push_back(dir.write(
            "f" + std::to_string(i) + ".jsonl",
            "{\"type\":\"note\"}\n" + line("user", 1, "s", 0.0, "2025-06-01T08:00:00Z", "\"hi\"")));
    }
    std::vector<std::string> warnings;
    load_options options;
    options.threads = 3;
    // Already cancelled when the load starts: it must still ask, however fast the helpers are.
    options.cancelled = [] { return true; };
    const auto r = load_sessions(
        paths, [&](std::string_view w) { warnings.emplace_back(w); }, options);
    ASSERT_FALSE(r.ok());
    EXPECT_EQ(r.error().render(), "IO error: interrupted");
    EXPECT_TRUE(warnings.empty());
    // Uncancelled, the same files load on any number of threads alike.
    for (std::size_t threads : {1u, 3u, 64u}) {
        warnings.clear();
        options.threads = threads;
        options.cancelled = nullptr;
        const auto all = load_sessions(
            paths, [&](std::string_view w) { warnings.emplace_back(w); }, options);
        ASSERT_TRUE(all.ok());
        EXPECT_EQ(all.value().size(), 40u);
        EXPECT_EQ(warnings.size(), 40u);
    }
}

struct locate_case {
    const char* name;
    std::string identifier;  // "{base}" stands for the base directory
    bool base_exists;
    bool cancelled;
    std::optional<project_failure> failure;
    std::string directory;  // relative to the base; empty when none was located
    std::size_t sessions;
};

class session_load_project : public testing::TestWithParam<locate_case> {};

TEST_P(session_load_project, locates_then_loads_or_says_where_it_stopped) {
    const locate_case& c = GetParam();
    temp_dir dir;
    const fs::path base = c.base_exists ? dir.path : dir.path / "absent";
    fs::create_directory(dir.path / "-x-app");
    fs::create_directory(dir.path / "-x-tool");
    dir.write("-x-app/a.jsonl", line("user", 1, "a", 0.0, "2025-06-01T08:00:00Z", "\"hi\""));
    dir.write("-x-app/b.jsonl", line("user", 2, "b", 0.0, "2025-06-01T08:00:00Z", "\"hi\""));
    std::string identifier = c.identifier;
    if (identifier.starts_with("{base}")) identifier.replace(0, 6, dir.path.native());
    load_options options;
    if (c.cancelled) options.cancelled = [] { return true; };
    std::vector<std::string> warnings;
    const loaded_project p = load_project(
        identifier, base, [&](std::string_view w) { warnings.emplace_back(w); }, options);
    EXPECT_EQ(p.failure, c.failure);
    EXPECT_EQ(p.error.has_value(), c.failure == project_failure::listing_projects);
    EXPECT_EQ(p.directory, c.directory.empty() ? fs::path() : dir.path / c.directory);
    EXPECT_EQ(p.sessions.size(), c.sessions);
    EXPECT_TRUE(warnings.empty());
}

const std::vector<locate_case> locate_cases{
    {"by_name", "app", true, false, std::nullopt, "-x-app", 2},
    {"by_path", "{base}/-x-app", true, false, std::nullopt, "-x-app", 2},
    {"by_path_to_an_empty_project", "{base}/-x-tool", true, false, std::nullopt, "-x-tool", 0},
    {"no_name_matches", "nothing", true, false, project_failure::no_match, "", 0},
    {"path_missing", "{base}/-gone", true, false, project_failure::missing, "-gone", 0},
    {"base_unlistable", "app", false, false, project_failure::listing_projects, "", 0},
    {"cancelled", "app", true, true, project_failure::interrupted, "-x-app", 0},
};
INSTANTIATE_TEST_SUITE_P(session, session_load_project, testing::ValuesIn(locate_cases),
                         [](const auto& p) { return std::string(p.param.name); });

TEST(session, project_totals_sum_sessions_and_order_tools_by_first_use) {
    temp_dir dir;
    const auto a = dir.write(
        "a.jsonl", line("assistant", 1, "a", 0.25, "2025-06-01T08:00:00Z", tool_use("Read")) +
                       line("assistant", 2, "a", 0.5, "2025-06-01T08:01:30Z", tool_use("Edit")));
    const auto b = dir.write(
        "b.jsonl", line("assistant", 1, "b", 1.0, "2025-06-01T09:00:00Z", tool_use("Bash")) +
                       line("assistant", 2, "b", 0.0, "2025-06-01T09:00:10Z", tool_use("Read")));
    const auto sessions = load_sessions({a, b}, [](std::string_view) {}).value();
    ASSERT_EQ(sessions.size(), 2u);
    const project_summary p = summarize_project("proj", sessions);
    EXPECT_EQ(p.name, "proj");
    EXPECT_EQ(p.session_count, 2u);
    EXPECT_DOUBLE_EQ(p.total_cost, 1.75);
    EXPECT_EQ(p.total_messages, 4u);
    using counts = std::vector<std::pair<std::string, std::uint64_t>>;
    EXPECT_EQ(p.tool_usage_count, (counts{{"Read", 2}, {"Edit", 1}, {"Bash", 1}}));
    EXPECT_EQ(p.total_duration, 100);
    EXPECT_EQ(summarize_project("none", {}).total_duration, std::nullopt);
}

}  // namespace
}  // namespace kestro
