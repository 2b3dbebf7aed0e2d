// Finding a project, loading its sessions in parallel, and summing them.
#include "session/project.hpp"

#include <atomic>
#include <exception>
#include <system_error>
#include <thread>
#include <unordered_map>

#include "session/names.hpp"
#include "types/utf8.hpp"

namespace kestro {

namespace fs = std::filesystem;

namespace {

// One session file of a project: the session, or the rendered error, with the warning lines
// its parse met, kept until they can be handed on in file order.
struct project_file {
    std::shared_ptr<const session> loaded;
    std::string error;
    std::vector<std::string> warnings;
    std::exception_ptr fault;  // std::bad_alloc, handed to the calling thread
};

std::vector<project_file> load_files(const std::vector<fs::path>& paths) {
    std::vector<project_file> files(paths.size());
    std::atomic<std::size_t> next{0};
    auto work = [&]() noexcept {
        for (std::size_t i = next.fetch_add(1); i < paths.size(); i = next.fetch_add(1)) {
            project_file& f = files[i];
            try {
                auto parsed = parse_session_file(
                    paths[i], [&f](std::string_view line) { f.warnings.emplace_back(line); });
                if (parsed) {
                    f.loaded = build_session(std::move(parsed).value());
                } else {
                    f.error = parsed.error().render();
                }
            } catch (...) {
                f.fault = std::current_exception();
            }
        }
    };
    std::optional<std::thread> helper;
    if (paths.size() > 1) {
        try {
            helper.emplace([&work] {
                reserve_exception_state();
                work();
            });
        } catch (const std::system_error&) {
            // No thread to be had: this thread does all the files.
        }
    }
    work();
    if (helper) helper->join();
    return files;
}

}  // namespace

std::optional<fs::path> match_project(const std::vector<fs::path>& projects,
                                      std::string_view identifier) {
    for (const auto& candidate : projects) {
        auto name = final_path_component(candidate.native());
        if (!name || !is_valid_utf8(*name)) continue;
        if (name->find(identifier) != std::string_view::npos) return candidate;
    }
    return std::nullopt;
}

std::vector<std::shared_ptr<const session>> load_sessions(const std::vector<fs::path>& paths,
                                                          const warning_sink& warn) {
    std::vector<project_file> files = load_files(paths);
    std::vector<std::shared_ptr<const session>> sessions;
    sessions.reserve(files.size());
    for (std::size_t i = 0; i < files.size(); ++i) {
        project_file& f = files[i];
        for (const std::string& line : f.warnings)
            warn(line);
        if (f.fault) std::rethrow_exception(f.fault);
        if (!f.loaded) {
            warn("Warning: Failed to parse session " + paths[i].native() + ": " + f.error);
            continue;
        }
        sessions.push_back(std::move(f.loaded));
    }
    return sessions;
}

project_summary summarize_project(std::string name,
                                  const std::vector<std::shared_ptr<const session>>& sessions) {
    project_summary d;
    d.name = std::move(name);
    d.session_count = sessions.size();
    std::unordered_map<std::string_view, std::size_t> slot_of;
    std::int64_t duration_sum = 0;
    bool any_duration = false;
    for (const auto& s : sessions) {
        const auto& metadata = s->parsed.metadata;
        d.total_cost += metadata.total_cost_usd;
        d.total_messages += s->parsed.messages.size();
        for (const auto& [tool, count] : metadata.tool_usage_count) {
            auto [it, fresh] = slot_of.try_emplace(tool, d.tool_usage_count.size());
            if (fresh) d.tool_usage_count.emplace_back(tool, 0);
            d.tool_usage_count[it->second].second += count;
        }
        if (metadata.session_duration) {
            duration_sum += metadata.session_duration->whole_seconds();
            any_duration = true;
        }
    }
    if (any_duration) d.total_duration = duration_sum;
    return d;
}

}  // namespace kestro
