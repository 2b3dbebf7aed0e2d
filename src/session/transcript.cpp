// The complete reader's sink: records into a transcript, then replies, links and sub-agents.
#include "session/transcript.hpp"

#include <algorithm>
#include <array>
#include <map>
#include <system_error>
#include <unordered_set>
#include <utility>

#include "analysis/replies.hpp"
#include "parser/transcript_reader.hpp"

namespace kestro {

namespace {

// Consecutive records repeat the working directory, version and branch: one copy per run.
void share(shared_text& last, std::string_view text, shared_text& out) {
    if (text.empty()) return;
    if (last.view() != text) last = shared_text(std::string(text));
    out = last;
}

class transcript_builder final : public transcript_sink {
  public:
    transcript_builder(std::string path, read_errors errors,
                       const cancel_check* cancelled = nullptr)
        : errors_(errors), cancelled_(cancelled) {
        t_.path = std::move(path);
    }

    void expect_bytes(std::size_t bytes) override {
        // Lines of real logs average a few KiB; a low guess only costs one more growth.
        t_.records.reserve(bytes / 2048 + 1);
        t_.messages.reserve(bytes / 2560 + 1);
        t_.by_uuid = row_index(bytes / 2048 + 1);
        replies_ = reply_merger(bytes / 4096 + 1);
    }

    bool take(transcript_line& line) override {
        transcript_record& r = line.record;
        // Every few hundred lines: often enough for Ctrl-C to feel immediate, rarely enough to
        // cost nothing.
        if (cancelled_ != nullptr && *cancelled_ && (r.line & 255) == 0 && (*cancelled_)()) {
            was_cancelled_ = true;
            return false;
        }
        if (r.kind == record_kind::problem && errors_ == read_errors::strict) {
            problem_ = read_problem{t_.path, r.line, r.reason};
            return false;
        }
        const auto index = static_cast<std::uint32_t>(t_.records.size());
        if (r.kind == record_kind::message) {
            transcript_message& m = line.message;
            m.record = index;
            share(cwd_, line.cwd, m.cwd);
            share(version_, line.version, m.version);
            share(branch_, line.git_branch, m.git_branch);
            r.message = static_cast<std::uint32_t>(t_.messages.size());
            t_.messages.push_back(std::move(m));
            // Indexed here rather than once the file is read: the ids are still in cache.
            replies_.add(t_.messages.back(), r.message);
        }
        if (!t_.session_id && !line.session_id.empty())
            t_.session_id = std::string(line.session_id);
        if (!line.version.empty() && line.version != last_version_) last_version_ = line.version;
        if (!line.git_branch.empty() && line.git_branch != last_branch_) {
            last_branch_ = line.git_branch;
        }
        if (line.title_kind != title_source::none) {
            titles_[static_cast<std::size_t>(line.title_kind)] = std::string(line.title);
        }
        if (r.timestamp) {
            if (!t_.started || *r.timestamp < *t_.started) t_.started = r.timestamp;
            if (!t_.ended || *t_.ended < *r.timestamp) t_.ended = r.timestamp;
        }
        t_.records.push_back(std::move(r));
        if (const auto& uuid = t_.records.back().uuid) {
            const auto holds = [&](std::size_t row) { return t_.records[row].uuid == *uuid; };
            *t_.by_uuid.try_emplace(text_hasher{}(*uuid), index, holds).first = index;
        }
        return true;
    }

    [[nodiscard]] const std::optional<read_problem>& problem() const { return problem_; }
    [[nodiscard]] bool was_cancelled() const { return was_cancelled_; }

    transcript finish() && {
        if (!last_version_.empty()) t_.version = std::move(last_version_);
        if (!last_branch_.empty()) t_.git_branch = std::move(last_branch_);
        for (auto source :
             {title_source::custom_title, title_source::ai_title, title_source::summary}) {
            auto& title = titles_[static_cast<std::size_t>(source)];
            if (title) {
                t_.title = std::move(title);
                break;
            }
        }
        t_.replies = std::move(replies_).finish();
        return std::move(t_);
    }

  private:
    read_errors errors_;
    const cancel_check* cancelled_;
    bool was_cancelled_ = false;
    transcript t_;
    shared_text cwd_, version_, branch_;
    std::string last_version_, last_branch_;
    std::array<std::optional<std::string>, 4> titles_;
    std::optional<read_problem> problem_;
    reply_merger replies_;
};

struct file_outcome {
    std::optional<transcript> value;
    std::optional<sdk_error> io;
    std::optional<read_problem> problem;
    bool cancelled = false;
};

file_outcome read_one(const std::filesystem::path& path, read_errors errors,
                      const cancel_check* cancelled = nullptr) {
    transcript_builder builder(path.native(), errors, cancelled);
    if (auto io = read_transcript_file(path, builder)) return {std::nullopt, std::move(io), {}};
    if (builder.was_cancelled()) return {std::nullopt, std::nullopt, std::nullopt, true};
    if (builder.problem()) return {std::nullopt, std::nullopt, builder.problem()};
    return {std::move(builder).finish(), std::nullopt, std::nullopt};
}

// Stops at the first record that names a session.
class session_probe final : public transcript_sink {
  public:
    bool take(transcript_line& line) override {
        if (line.session_id.empty()) return true;
        session_id_ = std::string(line.session_id);
        return false;
    }
    std::optional<std::string> session_id_;
};

// The files of a folder whose names match, in name order; none when it cannot be listed.
std::vector<std::filesystem::path> list_files(const std::filesystem::path& dir,
                                              std::string_view prefix) {
    std::vector<std::filesystem::path> files;
    std::error_code ec;
    std::filesystem::directory_iterator it(dir, ec);
    for (; !ec && it != std::filesystem::directory_iterator(); it.increment(ec)) {
        const std::string name = it->path().filename().native();
        if (name.size() > prefix.size() + 6 && name.starts_with(prefix) &&
            name.ends_with(".jsonl") && it->is_regular_file(ec)) {
            files.push_back(it->path());
        }
    }
    std::sort(files.begin(), files.end());
    return files;
}

// agent id -> the tool use that started it, from the parent's Task results and progress.
struct agent_links {
    std::map<std::string, std::string, std::less<>> by_result;
    std::map<std::string, std::string, std::less<>> by_progress;

    explicit agent_links(const transcript& t) {
        for (const transcript_message& m : t.messages) {
            if (!m.tool_use_result) continue;
            auto agent = find_text(m.tool_use_result->root(), {"agentId"});
            if (!agent) continue;
            packed_json::view content = m.content.root();
            if (content.kind() != packed_json::kind::array) continue;
            packed_json::view block = content.first_child();
            for (std::size_t i = 0; i < content.size(); ++i, block = block.next_sibling()) {
                auto id = find_text(block, {"tool_use_id"});
                if (id && find_text(block, {"type"}) == "tool_result") {
                    by_result.try_emplace(std::string(*agent), std::string(*id));
                    break;
                }
            }
        }
        for (const transcript_record& r : t.records) {
            if (r.type != "progress") continue;
            packed_json::view raw = r.raw.root();
            if (find_text(raw, {"data", "type"}) != "agent_progress") continue;
            auto agent = find_text(raw, {"data", "agentId"});
            auto tool = find_text(raw, {"parentToolUseID"});
            if (agent && tool) by_progress.try_emplace(std::string(*agent), std::string(*tool));
        }
    }
};

// The agent id its records give, else the one in its file name.
std::string agent_id_of(const transcript& t, const std::filesystem::path& file) {
    for (const transcript_message& m : t.messages) {
        if (m.agent_id) return *m.agent_id;
    }
    std::string stem = file.stem().native();
    return stem.substr(std::string_view("agent-").size());
}

}  // namespace

read_outcome read_transcript(const std::filesystem::path& path, read_errors errors,
                             const cancel_check& cancelled) {
    const cancel_check* check = cancelled ? &cancelled : nullptr;
    file_outcome main = read_one(path, errors, check);
    if (!main.value) {
        return {nullptr, std::move(main.io), std::move(main.problem), main.cancelled};
    }
    transcript& t = *main.value;
    const agent_links links(t);
    const std::filesystem::path dir = path.parent_path();

    for (const auto& file : list_files(dir / path.stem() / "subagents", "agent-")) {
        file_outcome sub = read_one(file, errors, check);
        if (sub.problem || sub.cancelled) {
            return {nullptr, std::nullopt, std::move(sub.problem), sub.cancelled};
        }
        if (!sub.value) continue;
        sub.value->agent_id = agent_id_of(*sub.value, file);
        const std::string& agent = *sub.value->agent_id;
        if (auto it = links.by_result.find(agent); it != links.by_result.end()) {
            sub.value->parent_tool_use_id = it->second;
        } else if (auto at = links.by_progress.find(agent); at != links.by_progress.end()) {
            sub.value->parent_tool_use_id = at->second;
        }
        t.subagents.push_back(std::make_shared<const transcript>(std::move(*sub.value)));
    }
    if (t.session_id) {
        for (const auto& file : list_files(dir, "agent-")) {
            if (file.filename() == path.filename()) continue;
            session_probe probe;
            if (read_transcript_file(file, probe) || probe.session_id_ != t.session_id) continue;
            file_outcome sub = read_one(file, errors, check);
            if (sub.problem || sub.cancelled) {
                return {nullptr, std::nullopt, std::move(sub.problem), sub.cancelled};
            }
            if (!sub.value) continue;
            sub.value->agent_id = agent_id_of(*sub.value, file);
            t.subagents.push_back(std::make_shared<const transcript>(std::move(*sub.value)));
        }
    }
    return {std::make_shared<const transcript>(std::move(t)), std::nullopt, std::nullopt};
}

transcript read_transcript_text(std::string_view bytes, std::string path_text) {
    transcript_builder builder(std::move(path_text), read_errors::skip);
    read_transcript_bytes(bytes, builder);
    return std::move(builder).finish();
}

std::vector<std::uint32_t> thread_of(const transcript& t, std::uint32_t record) {
    std::vector<std::uint32_t> chain;
    std::unordered_set<std::uint32_t> seen;
    for (std::uint32_t at = record; seen.insert(at).second;) {
        const transcript_record& r = t.records[at];
        if (r.message != no_message) chain.push_back(r.message);
        const auto parent = r.parent_uuid ? find_record(t, *r.parent_uuid) : std::nullopt;
        if (!parent) break;
        at = *parent;
    }
    std::reverse(chain.begin(), chain.end());
    return chain;
}

std::optional<std::uint32_t> main_leaf(const transcript& t) {
    for (auto it = t.messages.rbegin(); it != t.messages.rend(); ++it) {
        if (!it->is_sidechain) return it->record;
    }
    return std::nullopt;
}

}  // namespace kestro
