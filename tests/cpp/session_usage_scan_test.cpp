// Tests of the usage scan: what each line gives the scan's sink, where a read ends, the reply
// key, and the parallel scan of files (order, threads, cancellation, unreadable files).
#include "session/usage_scan.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "analysis/replies.hpp"
#include "parser/usage_reader.hpp"

namespace kestro {
namespace {

// What a line gave, in plain values.
struct seen {
    usage_line::kind what;
    std::uint64_t line;
    // The reason of a problem, else by ',' the calls (name, '#id' when it has one), then the
    // results ('=id', '!' after an error).
    std::string text;
    std::uint64_t output = 0;
    std::uint64_t one_hour = 0;
};

class collect final : public usage_sink {
  public:
    bool take(usage_line& l) override {
        std::string text = l.reason;
        auto add = [&](const std::string& item) { text += (text.empty() ? "" : ",") + item; };
        for (std::size_t i = 0; i < l.tools.size(); ++i)
            add(std::string(l.tools[i]) + (l.tool_ids[i] ? "#" + std::string(*l.tool_ids[i]) : ""));
        for (const auto& [id, error] : l.tool_results)
            add("=" + std::string(id) + (error ? "!" : ""));
        lines.push_back({l.what, l.line, text, l.usage.output_tokens.value_or(0),
                         l.usage.ephemeral_1h_input_tokens.value_or(0)});
        return true;
    }
    std::vector<seen> lines;
};

const std::string head =
    R"("uuid":"u1","timestamp":"2025-06-01T08:00:00Z","sessionId":"s","requestId":"r",)";

std::string assistant(const std::string& message) {
    return R"({"type":"assistant",)" + head + R"("message":)" + message + "}";
}

struct line_case {
    const char* name;
    std::string line;
    usage_line::kind what;
    const char* text;
    std::uint64_t output = 0;
    std::uint64_t one_hour = 0;
};

class usage_lines : public ::testing::TestWithParam<line_case> {};

TEST_P(usage_lines, give_the_scan_what_a_row_needs) {
    collect sink;
    (void)read_usage_bytes(GetParam().line + "\n", sink);
    ASSERT_EQ(sink.lines.size(), 1u);
    const seen& s = sink.lines[0];
    EXPECT_EQ(s.what, GetParam().what);
    EXPECT_EQ(s.text, GetParam().text);
    EXPECT_EQ(s.output, GetParam().output);
    EXPECT_EQ(s.one_hour, GetParam().one_hour);
}

using k = usage_line::kind;
INSTANTIATE_TEST_SUITE_P(
    session, usage_lines,
    ::testing::Values(
        line_case{"reply_with_tools",
                  assistant(R"({"id":"m","content":[{"type":"tool_use","id":"t","name":"Bash"},)"
                            R"({"type":"text","text":"x"},{"type":"tool_use","name":"Read"}],)"
                            R"("usage":{"output_tokens":7,"cache_creation":)"
                            R"({"ephemeral_1h_input_tokens":3}}})"),
                  k::reply, "Bash#t,Read", 7, 3},
        line_case{"call_id_not_text",
                  assistant(R"({"content":[{"type":"tool_use","id":5,"name":"Bash"}],"usage":{}})"),
                  k::reply, "Bash"},
        line_case{"assistant_without_usage", assistant(R"({"id":"m","content":"x"})"), k::other,
                  ""},
        line_case{"assistant_null_usage", assistant(R"({"content":"x","usage":null})"), k::other,
                  ""},
        line_case{"prompt_text", R"({"type":"user",)" + head + R"("message":{"content":"hi"}})",
                  k::prompt, ""},
        line_case{"prompt_blocks",
                  R"({"type":"user",)" + head + R"("message":{"content":[{"type":"text"}]}})",
                  k::prompt, ""},
        line_case{"tool_result_is_no_prompt",
                  R"({"type":"user",)" + head +
                      R"("message":{"content":[{"type":"tool_result","tool_use_id":"t"}]}})",
                  k::other, "=t"},
        line_case{"results_and_their_errors",
                  R"({"type":"user",)" + head +
                      R"("message":{"content":[{"type":"tool_result","tool_use_id":"a",)"
                      R"("is_error":true},{"type":"tool_result","tool_use_id":"b","is_error":)"
                      R"("yes"},{"type":"tool_result","tool_use_id":7,"is_error":true},)"
                      R"({"type":"tool_result","tool_use_id":"c","is_error":false}]}})",
                  k::other, "=a!,=b,=c"},
        line_case{"results_of_a_problem_line_are_dropped",
                  R"({"type":"user","timestamp":"2025-06-01T08:00:00Z","message":{"content":)"
                  R"([{"type":"tool_result","tool_use_id":"a","is_error":true}]}})",
                  k::problem, "missing field 'uuid'"},
        line_case{"meta_is_no_prompt",
                  R"({"type":"user","isMeta":true,)" + head + R"("message":{"content":"x"}})",
                  k::other, ""},
        line_case{"count_as_text", assistant(R"({"content":"x","usage":{"output_tokens":"7"}})"),
                  k::problem, "field 'message.usage.output_tokens' is not a non-negative integer"},
        line_case{"negative_count", assistant(R"({"content":"x","usage":{"input_tokens":-1}})"),
                  k::problem, "field 'message.usage.input_tokens' is not a non-negative integer"},
        line_case{"split_not_object", assistant(R"({"content":"x","usage":{"cache_creation":[]}})"),
                  k::problem, "field 'message.usage.cache_creation' is not an object"},
        line_case{"cost_as_text",
                  R"({"type":"assistant","costUSD":"1",)" + head + R"("message":{"content":"x"}})",
                  k::problem, "field 'costUSD' is not a number"},
        line_case{"no_timestamp",
                  R"({"type":"assistant","uuid":"u","message":{"content":"x","usage":{}}})",
                  k::problem, "missing field 'timestamp'"},
        line_case{"bad_timestamp",
                  R"({"type":"assistant","uuid":"u","timestamp":"June","message":{}})", k::problem,
                  "field 'timestamp' is not an RFC 3339 time"},
        line_case{"no_content", assistant(R"({"usage":{}})"), k::problem,
                  "missing field 'message.content'"},
        line_case{"turn_duration_as_text",
                  R"({"type":"system","subtype":"turn_duration","durationMs":"5"})", k::problem,
                  "field 'durationMs' is not a non-negative integer"},
        line_case{"other_system", R"({"type":"system","subtype":"api_error","durationMs":"5"})",
                  k::other, ""},
        line_case{"title_not_text", R"({"type":"custom-title","customTitle":1})", k::problem,
                  "field 'customTitle' is not a string"},
        line_case{"cut_short", R"({"type":"assistant","mess)", k::problem,
                  "not JSON: EOF while parsing a string at line 1 column 25"},
        line_case{"not_utf8", "{\"type\":\"system\",\"x\":\"\xff\"}", k::problem,
                  "not valid UTF-8"},
        line_case{"array", "[1]", k::problem, "not a JSON object"}),
    [](const auto& info) { return std::string(info.param.name); });

struct end_case {
    const char* name;
    std::string bytes;
    std::uint64_t end;
    std::uint64_t lines;
    std::vector<std::uint64_t> handed;  // the line number of each line handed to the sink
};

class read_ends : public ::testing::TestWithParam<end_case> {};

TEST_P(read_ends, just_past_the_last_complete_line) {
    collect sink;
    const usage_read r = read_usage_bytes(GetParam().bytes, sink);
    EXPECT_EQ(r.end, GetParam().end);
    EXPECT_EQ(r.lines, GetParam().lines);
    std::vector<std::uint64_t> handed;
    for (const seen& s : sink.lines)
        handed.push_back(s.line);
    EXPECT_EQ(handed, GetParam().handed);
}

const std::string sys = R"({"type":"system"})";  // 17 bytes
INSTANTIATE_TEST_SUITE_P(
    session, read_ends,
    ::testing::Values(end_case{"empty", "", 0, 0, {}},
                      end_case{"two_lines", sys + "\n" + sys + "\n", 36, 2, {1, 2}},
                      end_case{"last_line_reads", sys + "\n" + sys, 35, 2, {1, 2}},
                      end_case{"last_line_cut", sys + "\n" + R"({"type":"sy)", 18, 1, {1, 2}},
                      end_case{"blank_lines_count", "\n  \n" + sys + "\r\n", 23, 3, {3}},
                      end_case{"problem_line_ends", "nope\n" + sys + "\n", 23, 2, {1, 2}},
                      end_case{"numbered_past_blanks", "\n" + sys + "\n\nnope\n", 25, 4, {2, 4}}),
    [](const auto& info) { return std::string(info.param.name); });

struct key_case {
    const char* name;
    std::optional<std::string_view> a_message, a_request, b_message, b_request;
    bool same;
};

TEST(session, figures_merge_by_maximum_earliest_and_largest_cost) {
    reply_figures kept;
    kept.output_tokens = 5;
    kept.cache_read_input_tokens = 9;
    kept.timestamp = date_time{100, 0};
    reply_figures again;
    again.output_tokens = 8;
    again.cache_read_input_tokens = 2;
    again.timestamp = date_time{50, 0};
    again.cost_usd = 0.25;
    merge_figures(kept, again);
    EXPECT_EQ(kept.output_tokens, 8u);
    EXPECT_EQ(kept.cache_read_input_tokens, 9u);
    EXPECT_EQ(kept.timestamp.seconds, 50);
    EXPECT_EQ(kept.cost_usd, 0.25);
    again.cost_usd = 0.1;
    merge_figures(kept, again);
    EXPECT_EQ(kept.cost_usd, 0.25);
}

// Files in a fresh folder, removed afterwards.
class scan_folder : public ::testing::Test {
  protected:
    void SetUp() override {
        dir_ = std::filesystem::temp_directory_path() /
               ("kestro-scan-" + std::to_string(::testing::UnitTest::GetInstance()->random_seed()) +
                "-" + safe(::testing::UnitTest::GetInstance()->current_test_info()->name()));
        std::filesystem::create_directories(dir_ / "proj");
    }
    void TearDown() override { std::filesystem::remove_all(dir_); }

    // A parameterised test's name holds a '/'.
    static std::string safe(std::string name) {
        std::replace(name.begin(), name.end(), '/', '_');
        return name;
    }

    std::filesystem::path write(const std::string& name, const std::string& text) {
        const auto path = dir_ / "proj" / name;
        std::ofstream(path, std::ios::binary) << text;
        return path;
    }
    static std::string reply(const std::string& id, int output) {
        return assistant(R"({"id":")" + id + R"(","content":"x","usage":{"output_tokens":)" +
                         std::to_string(output) + "}}") +
               "\n";
    }

    std::filesystem::path dir_;
};

class reply_keys : public scan_folder, public ::testing::WithParamInterface<key_case> {
  protected:
    static std::string keyed(std::optional<std::string_view> message,
                             std::optional<std::string_view> request, int output) {
        std::string line =
            R"({"type":"assistant","uuid":"u","timestamp":"2025-06-01T08:00:00Z","sessionId":"s",)";
        if (request) line += R"("requestId":")" + std::string(*request) + R"(",)";
        line += R"("message":{)";
        if (message) line += R"("id":")" + std::string(*message) + R"(",)";
        return line + R"("content":"x","usage":{"output_tokens":)" + std::to_string(output) +
               "}}}\n";
    }
};

TEST_P(reply_keys, tell_replies_apart_within_a_file_and_across_files) {
    const key_case& c = GetParam();
    const auto a = key_of(c.a_message, c.a_request);
    const auto b = key_of(c.b_message, c.b_request);
    EXPECT_EQ(a.has_value() && b.has_value() && *a == *b, c.same);
    const std::size_t rows = c.same ? 1 : 2;
    const std::string first = keyed(c.a_message, c.a_request, 1);
    const std::string second = keyed(c.b_message, c.b_request, 2);
    const auto one = scan_file({write("one.jsonl", first + second), 0, "proj"}, 5, nullptr);
    EXPECT_EQ(one.rows.rows.size(), rows);
    std::filesystem::remove(dir_ / "proj" / "one.jsonl");
    write("a.jsonl", first);
    write("b.jsonl", second);
    const usage_table merged = scan_usage({dir_}, {}, 2, nullptr);
    ASSERT_EQ(merged.rows.size(), rows);
    EXPECT_EQ(merged.rows.back().output_tokens, 2u);
}

INSTANTIATE_TEST_SUITE_P(
    session, reply_keys,
    ::testing::Values(key_case{"both_ids", "m", "r", "m", "r", true},
                      key_case{"other_request", "m", "r", "m", "q", false},
                      key_case{"message_id_alone", "m", std::nullopt, "m", std::nullopt, true},
                      key_case{"missing_is_not_empty", "m", std::nullopt, "m", "", false},
                      key_case{"no_message_id", std::nullopt, "r", std::nullopt, "r", false}),
    [](const auto& info) { return std::string(info.param.name); });

TEST_F(scan_folder, results_keep_the_input_order_whatever_the_threads) {
    std::vector<scan_input> inputs;
    for (int i = 0; i < 12; ++i) {
        inputs.push_back(
            {write("f" + std::to_string(i) + ".jsonl", reply("m" + std::to_string(i), i)), 0,
             "proj"});
    }
    for (unsigned threads : {1u, 3u, 0u}) {
        const auto scans = scan_files(inputs, threads, kept_problems, nullptr);
        ASSERT_EQ(scans.size(), inputs.size());
        for (std::size_t i = 0; i < scans.size(); ++i) {
            ASSERT_EQ(scans[i].rows.rows.size(), 1u);
            EXPECT_EQ(scans[i].rows.rows[0].output_tokens, i) << threads;
        }
    }
}

TEST_F(scan_folder, a_cancelled_scan_reads_nothing_more) {
    const std::vector<scan_input> inputs{{write("a.jsonl", reply("m", 1)), 0, "proj"}};
    const std::atomic<bool> cancel{true};
    const auto scans = scan_files(inputs, 2, kept_problems, &cancel);
    ASSERT_EQ(scans.size(), 1u);
    EXPECT_TRUE(scans[0].rows.rows.empty());
}

TEST_F(scan_folder, an_unreadable_file_is_a_problem_on_line_zero) {
    const auto scan = scan_file({dir_ / "proj" / "gone.jsonl", 0, "proj"}, kept_problems, nullptr);
    ASSERT_TRUE(scan.error.has_value());
    ASSERT_EQ(scan.rows.problems.size(), 1u);
    EXPECT_EQ(scan.rows.problems[0].count, 1u);
    EXPECT_EQ(scan.rows.problems[0].first.at(0).first, 0u);
}

TEST_F(scan_folder, problems_are_all_counted_and_the_first_few_kept) {
    std::string text;
    for (int i = 0; i < 9; ++i)
        text += "nope\n";
    const auto scan = scan_file({write("p.jsonl", text), 0, "proj"}, 3, nullptr);
    ASSERT_EQ(scan.rows.problems.size(), 1u);
    EXPECT_EQ(scan.rows.problems[0].count, 9u);
    EXPECT_EQ(scan.rows.problems[0].first.size(), 3u);
}

TEST_F(scan_folder, failed_calls_are_named_once_on_their_reply) {
    auto user = [](const std::string& blocks) {
        return R"({"type":"user",)" + head + R"("message":{"content":[)" + blocks + "]}}\n";
    };
    auto result = [](const std::string& id, const std::string& error) {
        return R"({"type":"tool_result","tool_use_id":")" + id + R"(","is_error":)" + error + "}";
    };
    const std::string calls =
        assistant(R"({"id":"m","content":[{"type":"tool_use","id":"a","name":"Bash"},)"
                  R"({"type":"tool_use","id":"b","name":"Read"},)"
                  R"({"type":"tool_use","id":"c","name":"Grep"}],"usage":{}})") +
        "\n";
    // Another file first, so that the merged table's texts are numbered otherwise.
    write("a.jsonl", assistant(R"({"id":"n","content":[{"type":"tool_use","id":"w",)"
                               R"("name":"Write"}],"usage":{}})") +
                         "\n" + user(result("w", "true")));
    const auto path =
        write("b.jsonl", calls + calls + user(result("a", "true") + "," + result("b", "false")) +
                             user(result("a", "true")) + user(result("x", "true")));
    const file_scan scan = scan_file({path, 0, "proj"}, kept_problems, nullptr);
    ASSERT_EQ(scan.rows.rows.size(), 1u);
    auto names = [](const usage_table& t, const std::vector<std::uint32_t>& ids) {
        std::string out;
        for (std::uint32_t id : ids)
            out += (out.empty() ? "" : ",") + t.texts.at(id);
        return out;
    };
    EXPECT_EQ(names(scan.rows, scan.rows.rows[0].tools), "Bash,Read,Grep");
    EXPECT_EQ(names(scan.rows, scan.rows.rows[0].tool_errors), "Bash");
    ASSERT_EQ(scan.open_calls.size(), 1u);
    EXPECT_EQ(scan.open_calls[0].id, "c");
    EXPECT_EQ(scan.open_calls[0].row, 0u);
    EXPECT_EQ(scan.rows.texts.at(scan.open_calls[0].name), "Grep");
    EXPECT_EQ(scan.stray_results, (std::vector<std::pair<std::string, bool>>{{"x", true}}));

    const usage_table merged = scan_usage({dir_}, {}, 2, nullptr);
    ASSERT_EQ(merged.rows.size(), 2u);
    EXPECT_EQ(names(merged, merged.rows[0].tool_errors), "Write");
    EXPECT_EQ(names(merged, merged.rows[1].tool_errors), "Bash");
}

TEST_F(scan_folder, a_reply_in_two_files_is_one_row_from_the_first) {
    write("a.jsonl", reply("m", 3) + reply("n", 1));
    write("b.jsonl", reply("m", 5));
    std::filesystem::create_directories(dir_ / "proj" / "a" / "subagents");
    std::ofstream(dir_ / "proj" / "a" / "subagents" / "agent-x.jsonl") << reply("m", 4);
    const auto files = find_usage_files({dir_}, {});
    ASSERT_EQ(files.size(), 3u);
    EXPECT_EQ(files[1].path.filename(), "agent-x.jsonl");  // path order: a.jsonl < a/ < b.jsonl
    usage_table table = merge_scans(scan_files(files, 2, kept_problems, nullptr), {});
    ASSERT_EQ(table.rows.size(), 2u);
    EXPECT_EQ(table.rows[0].output_tokens, 5u);
    EXPECT_EQ(table.texts.at(table.rows[0].project), "proj");
    EXPECT_EQ(table.texts.at(table.rows[0].session_id), "s");
}

}  // namespace
}  // namespace kestro
