// Which files the usage scan reads under a projects folder: logs of every project folder and of
// its sessions' sub-agent folders, links followed, everything else passed over.
#include "session/usage_scan.hpp"

#include <unistd.h>

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

namespace kestro {
namespace {

namespace fs = std::filesystem;

class usage_files : public ::testing::Test {
  protected:
    void SetUp() override {
        // ctest runs each test in a process of its own, several at once: one folder per test.
        base_ = fs::temp_directory_path() /
                ("kestro-usage-files-" + std::to_string(::getpid()) + "-" +
                 ::testing::UnitTest::GetInstance()->current_test_info()->name());
        fs::remove_all(base_);
        fs::create_directories(base_);
    }
    void TearDown() override { fs::remove_all(base_); }

    void file(const std::string& path, const std::string& text = "{}\n") {
        fs::create_directories((base_ / path).parent_path());
        std::ofstream(base_ / path, std::ios::binary) << text;
    }
    // The files found, as paths below the base, each with its project and size.
    [[nodiscard]] std::vector<std::string> found(const std::vector<std::string>& projects) const {
        std::vector<std::string> out;
        for (const scan_input& in : find_usage_files({base_}, projects)) {
            out.push_back(in.path.lexically_relative(base_).string() + " " + in.project + " " +
                          std::to_string(in.bytes));
        }
        return out;
    }

    fs::path base_;
};

TEST_F(usage_files, lists_logs_and_sub_agent_logs_following_links) {
    file("-p-app/s1.jsonl", "12345\n");
    file("-p-app/s1/subagents/agent-a.jsonl");  // listed without its size
    file("-p-app/s1/subagents/notes.txt");
    file("-p-app/s1/other/agent-b.jsonl");  // not a sub-agents folder
    file("-p-app/s2/tool-results/x.jsonl");
    file("-p-app/readme.md");
    file("-p-app/.jsonl");           // no name before the extension
    file("-p-app/dir.jsonl/x.txt");  // a folder, not a log
    file("-p-app/dir.jsonl/subagents/agent-c.jsonl");
    file("stray.jsonl");  // beside the projects, not in one
    file("-p-web/w.jsonl", "1\n");
    fs::create_directory_symlink(base_ / "-p-web", base_ / "-p-linked");
    fs::create_symlink(base_ / "-p-app" / "s1.jsonl", base_ / "-p-web" / "copy.jsonl");
    fs::create_symlink(base_ / "missing.jsonl", base_ / "-p-web" / "dangling.jsonl");

    EXPECT_EQ(found({}), (std::vector<std::string>{
                             "-p-app/dir.jsonl/subagents/agent-c.jsonl -p-app 0",
                             "-p-app/s1.jsonl -p-app 6",
                             "-p-app/s1/subagents/agent-a.jsonl -p-app 0",
                             "-p-linked/copy.jsonl -p-linked 6",
                             "-p-linked/w.jsonl -p-linked 2",
                             "-p-web/copy.jsonl -p-web 6",
                             "-p-web/w.jsonl -p-web 2",
                         }));
    // A project is kept when its name holds any of the texts.
    EXPECT_EQ(found({"web", "nothing"}), (std::vector<std::string>{
                                             "-p-web/copy.jsonl -p-web 6",
                                             "-p-web/w.jsonl -p-web 2",
                                         }));
}

TEST_F(usage_files, a_missing_or_unreadable_folder_gives_nothing) {
    EXPECT_TRUE(find_usage_files({base_ / "absent"}, {}).empty());
    file("not-a-folder");
    EXPECT_TRUE(find_usage_files({base_ / "not-a-folder"}, {}).empty());
}

}  // namespace
}  // namespace kestro
