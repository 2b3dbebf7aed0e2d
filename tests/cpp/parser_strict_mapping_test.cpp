// The strict mapping over the line layer: line rules, failure order, warnings, what the sink
// sees, files, pipes and cancellation, read errors and line length.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

#include "parser/strict_mapping.hpp"

namespace kestro {
namespace {

std::string user(const std::string& uuid_digit = "1", const std::string& session = "s1") {
    return R"({"isSidechain":false,"userType":"external","cwd":"/w","sessionId":")" + session +
           R"(","version":"1","type":"user","message":{"role":"user","content":"hi"},"uuid":"11111111-1111-1111-1111-11111111111)" +
           uuid_digit + R"(","timestamp":"2025-06-01T12:00:00Z"})";
}
const std::string summary =
    R"({"type":"summary","summary":"s","leafUuid":"11111111-1111-1111-1111-111111111111"})";

// Records what a sink is handed, to check it against what the read returns.
struct recording_sink {
    std::vector<std::string> seen;
    void message(const message_record& r) {
        seen.push_back("m:" + std::string(r.session_id.view()));
    }
    void summary(const summary_record& r) { seen.push_back("s:" + r.summary); }
};

// What the read returned, messages then summaries, each in file order.
std::vector<std::string> returned(const parsed_log& log) {
    std::vector<std::string> out;
    for (const auto& m : log.messages)
        out.push_back("m:" + std::string(m.session_id.view()));
    for (const auto& s : log.summaries)
        out.push_back("s:" + s.summary);
    return out;
}

// The rendered error, or "<messages>:<summaries>:<session id>" of what was read.
std::string parse(std::string_view bytes, std::vector<std::string>& warnings) {
    recording_sink sink;
    auto r = read_strict_bytes(bytes, sink, [&](std::string_view w) { warnings.emplace_back(w); });
    if (!r) return r.error().render();
    const parsed_log& p = r.value();
    std::vector<std::string> seen = sink.seen;
    std::stable_partition(seen.begin(), seen.end(), [](const auto& e) { return e[0] == 'm'; });
    EXPECT_EQ(seen, returned(p)) << "the sink saw other records than were returned";
    return std::to_string(p.messages.size()) + ":" + std::to_string(p.summaries.size()) + ":" +
           p.session_id;
}

struct session_case {
    const char* name;
    std::string bytes;
    std::string outcome;
    std::vector<std::string> warnings{};
};

class parser_strict_lines : public testing::TestWithParam<session_case> {};

TEST_P(parser_strict_lines, reads_lines) {
    std::vector<std::string> warnings;
    EXPECT_EQ(parse(GetParam().bytes, warnings), GetParam().outcome);
    EXPECT_EQ(warnings, GetParam().warnings);
}

const std::string bad_utf8 = "{\"type\":\"x\xff\"}";
const std::string utf8_error = "IO error: stream did not contain valid UTF-8";
const std::string empty_error = "Parse error: Empty session file";
std::string at(int line, const std::string& message) {
    return "Parse error: Invalid JSONL format at line " + std::to_string(line) + ": " + message;
}
std::string unknown(const std::string& type, int line) {
    return "Warning: Unknown record type '" + type + "' at line " + std::to_string(line) +
           ", skipping";
}

const std::vector<session_case> line_cases{
    {"crlf", user() + "\r\n" + user("2") + "\r\n", "2:0:s1"},
    {"no_final_line_feed", user() + "\n" + user("2"), "2:0:s1"},
    {"unicode_blank_lines", "\n  \t\n" + user() + "\n\xc2\xa0\xe3\x80\x80\n\r\n", "1:0:s1"},
    {"session_id_is_the_first_message_records",
     summary + "\n" + user("1", "first") + "\n" + user("2", "second") + "\n", "2:1:first"},
    {"bom_is_not_blank", user() + "\n\xef\xbb\xbf\n",
     at(2, "Invalid JSON: expected value at line 1 column 1")},
    {"line_numbers_count_blanks", "\n{\"a\":\n",
     at(2, "Invalid JSON: EOF while parsing a value at line 1 column 5")},
    {"empty_file", "", empty_error},
    {"only_summaries", summary + "\n" + summary, empty_error},
    {"array_line", user() + "\n[1]\n", at(2, "Missing 'type' field")},
    {"type_number", "{\"type\":5}\n", at(1, "Missing 'type' field")},
    {"type_last_wins", "{\"type\":\"user\",\"type\":7}\n", at(1, "Missing 'type' field")},
    {"warnings_in_order",
     "{\"type\":\"system\"}\n\n" + user() + "\n{\"type\":\"User\"}",
     "1:0:s1",
     {unknown("system", 1), unknown("User", 4)}},
    {"no_warning_after_failure",
     "{\"type\":\"a\"}\n{\n{\"type\":\"b\"}\n",
     at(2, "Invalid JSON: EOF while parsing an object at line 1 column 1"),
     {unknown("a", 1)}},
    {"invalid_message", user() + "\n" + R"({"type":"assistant"})",
     at(2, "Invalid message record: missing field `isSidechain`")},
    {"invalid_summary", R"({"type":"summary"})",
     at(1, "Invalid summary record: missing field `summary`")},
    {"utf8_middle_line",
     "{\"type\":\"a\"}\n" + bad_utf8 + "\n" + user(),
     utf8_error,
     {unknown("a", 1)}},
    {"utf8_last_line_no_feed", user() + "\n" + bad_utf8, utf8_error},
    {"json_failure_before_utf8", user() + "\n{x\n" + bad_utf8,
     at(2, "Invalid JSON: key must be a string at line 1 column 2")},
    {"utf8_before_json_failure", bad_utf8 + "\n{x\n", utf8_error},
    {"depth_127_reaches_type_check", std::string(127, '[') + std::string(127, ']'),
     at(1, "Missing 'type' field")},
    {"depth_128_fails", std::string(128, '[') + std::string(128, ']'),
     at(1, "Invalid JSON: recursion limit exceeded at line 1 column 128")}};

INSTANTIATE_TEST_SUITE_P(parser, parser_strict_lines, testing::ValuesIn(line_cases),
                         [](const auto& p) { return std::string(p.param.name); });

struct temp_dir {
    std::filesystem::path path = [] {
        char pattern[] = "/tmp/parser-test-XXXXXX";
        return std::filesystem::path(::mkdtemp(pattern));
    }();
    ~temp_dir() { std::filesystem::remove_all(path); }
    std::filesystem::path write(const std::string& name, const std::string& bytes) const {
        std::ofstream(path / name, std::ios::binary) << bytes;
        return path / name;
    }
};

std::string render(const result<parsed_log>& r) {
    return r.ok() ? "" : r.error().render();
}

result<parsed_log> read_file(const std::filesystem::path& path, const warning_sink& warn = {}) {
    recording_sink sink;
    return read_strict_file(
        path, sink, warn ? warn : [](std::string_view) {});
}

// Inputs that are not regular files: how their read ends, and how often it asked whether to stop.
struct special_case {
    const char* name;
    bool with_writer;  // a writer holds the FIFO open and says nothing
    bool regular_files_only;
    std::string outcome;
    bool asked;
};

class parser_special_files : public testing::TestWithParam<special_case> {};

TEST_P(parser_special_files, wait_only_while_not_cancelled) {
    temp_dir dir;
    const auto fifo = dir.path / "f.jsonl";
    ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
    const int writer = GetParam().with_writer ? ::open(fifo.c_str(), O_RDWR) : -1;
    int asked = 0;
    read_options options;
    options.regular_files_only = GetParam().regular_files_only;
    // Stops on the fourth question: the read must keep asking while it waits.
    options.cancelled = [&asked] { return ++asked > 3; };
    recording_sink sink;
    EXPECT_EQ(render(read_strict_file(
                  fifo, sink, [](std::string_view) {}, options)),
              GetParam().outcome);
    EXPECT_EQ(asked > 3, GetParam().asked);
    if (writer >= 0) ::close(writer);
}

const std::vector<special_case> special_cases{
    {"fifo_with_a_silent_writer", true, false, "IO error: interrupted", true},
    {"fifo_without_a_writer_waits_for_one", false, false, "IO error: interrupted", true},
    {"fifo_refused_at_once_when_only_regular_files", true, true, "IO error: not a regular file",
     false},
    {"fifo_without_a_writer_refused_at_once", false, true, "IO error: not a regular file", false},
};
INSTANTIATE_TEST_SUITE_P(parser, parser_special_files, testing::ValuesIn(special_cases),
                         [](const auto& p) { return std::string(p.param.name); });

TEST(parser, a_fifo_is_read_to_its_writers_end) {
    temp_dir dir;
    const auto fifo = dir.path / "f.jsonl";
    ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
    std::thread writer([&] {
        std::ofstream out(fifo, std::ios::binary);
        for (char n = '1'; n <= '3'; ++n) {
            out << user(std::string(1, n)) << "\n" << std::flush;
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
        }
    });
    read_options options;
    options.cancelled = [] { return false; };
    recording_sink sink;
    auto r = read_strict_file(
        fifo, sink, [](std::string_view) {}, options);
    writer.join();
    ASSERT_TRUE(r.ok()) << r.error().render();
    EXPECT_EQ(r.value().messages.size(), 3u);
}

TEST(parser, open_and_read_errors_are_io_errors) {
    temp_dir dir;
    EXPECT_EQ(render(read_file(dir.path)), "IO error: Is a directory (os error 21)");
    EXPECT_EQ(render(read_file(dir.path / "missing.jsonl")),
              "IO error: No such file or directory (os error 2)");
    auto file = dir.write("f.jsonl", user());
    EXPECT_EQ(render(read_file(file / "x")), "IO error: Not a directory (os error 20)");
}

TEST(parser, file_and_bytes_agree_across_block_boundaries) {
    // Lines of every length around a read block, one much longer than any block, and CR LF
    // pairs split between two reads: the file reader must see the same lines as the bytes reader.
    std::string bytes;
    std::string pad(300, 'x');
    while (bytes.size() < (std::size_t{9} << 20)) {
        bytes += R"({"type":"note","pad":")" + pad + "\"}\r\n" + user() + "\n\n";
        pad.push_back('y');
    }
    bytes +=
        R"({"type":"big","pad":")" + std::string(std::size_t{5} << 20, 'z') + "\"}\n" + user("2");
    temp_dir dir;
    const auto file = dir.write("big.jsonl", bytes);
    std::size_t file_warnings = 0, byte_warnings = 0;
    auto from_file = read_file(file, [&](std::string_view) { ++file_warnings; });
    recording_sink sink;
    auto from_bytes = read_strict_bytes(bytes, sink, [&](std::string_view) { ++byte_warnings; });
    ASSERT_TRUE(from_file.ok()) << from_file.error().render();
    ASSERT_TRUE(from_bytes.ok()) << from_bytes.error().render();
    EXPECT_EQ(from_file.value().messages.size(), from_bytes.value().messages.size());
    EXPECT_EQ(file_warnings, byte_warnings);
    EXPECT_EQ(file_warnings, from_file.value().messages.size());
    // Invalid UTF-8 far past the first block still ends the read as an I/O failure.
    const auto bad = dir.write("u.jsonl", bytes + "\n" + bad_utf8 + "\n" + user() + "\n");
    EXPECT_EQ(render(read_file(bad)), utf8_error);
}

// A line past the fast reader's 4 GiB limit is reported as too long, not as bad JSON. The line
// lies in untouched anonymous memory, which reads as zeros without costing any.
TEST(parser, a_line_longer_than_four_gib_is_too_long) {
    const std::string head = user() + "\n" + summary + "\n";
    const std::size_t size = head.size() + (std::size_t{1} << 32);
    void* map = ::mmap(nullptr, size, PROT_READ | PROT_WRITE,
                       MAP_PRIVATE | MAP_ANONYMOUS | MAP_NORESERVE, -1, 0);
    if (map == MAP_FAILED) GTEST_SKIP() << "no room for a 4 GiB mapping";
    std::memcpy(map, head.data(), head.size());
    std::vector<std::string> warnings;
    EXPECT_EQ(parse(std::string_view(static_cast<const char*>(map), size), warnings),
              "Parse error: Invalid JSONL format at line 3: line 3 is longer than 4294967295 "
              "bytes");
    ::munmap(map, size);
}

}  // namespace
}  // namespace kestro
