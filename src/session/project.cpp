// Finding a project, loading its sessions in parallel, and summing them.
#include "session/project.hpp"

#include <sched.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <exception>
#include <mutex>
#include <system_error>
#include <thread>
#include <unordered_map>

#include "session/names.hpp"
#include "types/utf8.hpp"
#include "utils/discovery.hpp"

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

// Runs `work` on `extra` helper threads, joined by the destructor. A thread that cannot be
// had is simply not there: the others, and the calling thread, do its share.
class helper_threads {
  public:
    template <class F>
    helper_threads(std::size_t extra, F& work) {
        threads_.reserve(extra);
        for (std::size_t i = 0; i < extra; ++i) {
            try {
                threads_.emplace_back([&work] {
                    reserve_exception_state();
                    work();
                });
            } catch (const std::system_error&) {
                break;
            }
        }
    }
    ~helper_threads() {
        for (std::thread& t : threads_)
            t.join();
    }
    helper_threads(const helper_threads&) = delete;
    helper_threads& operator=(const helper_threads&) = delete;

    [[nodiscard]] std::size_t size() const { return threads_.size(); }

  private:
    std::vector<std::thread> threads_;
};

// Parses and builds every file on `threads` threads, this one included. Only this thread polls
// options.cancelled; the helpers see the outcome through `stop`. False when cancelled.
bool load_files(const std::vector<fs::path>& paths, std::vector<project_file>& files,
                std::size_t threads, const load_options& options) {
    std::atomic<std::size_t> next{0};
    std::atomic<bool> stop{false};
    std::mutex mutex;
    std::condition_variable all_done;
    std::size_t finished = 0;  // threads out of work; under `mutex`

    read_options on_helper;
    on_helper.regular_files_only = true;
    on_helper.cancelled = [&stop] { return stop.load(std::memory_order_relaxed); };
    read_options on_caller;
    on_caller.regular_files_only = true;
    on_caller.cancelled = [&] {
        if (stop.load(std::memory_order_relaxed)) return true;
        if (options.cancelled && options.cancelled()) stop.store(true, std::memory_order_relaxed);
        return stop.load(std::memory_order_relaxed);
    };

    auto work = [&](const read_options& read) noexcept {
        // Asked before the first file too: a cancellation already pending is honoured even
        // when the helpers take every file.
        while (!read.cancelled()) {
            const std::size_t i = next.fetch_add(1);
            if (i >= paths.size()) break;
            project_file& f = files[i];
            try {
                auto parsed = parse_session_file(
                    paths[i], [&f](std::string_view line) { f.warnings.emplace_back(line); }, read);
                if (parsed) {
                    f.loaded = build_session(std::move(parsed).value());
                } else {
                    f.error = parsed.error().render();
                }
            } catch (...) {
                f.fault = std::current_exception();
            }
        }
        const std::lock_guard lock(mutex);
        ++finished;
        all_done.notify_one();
    };
    auto helper_work = [&] { work(on_helper); };
    {
        helper_threads helpers(threads - 1, helper_work);
        work(on_caller);
        // Waiting for the helpers, this thread still answers for the cancellation.
        std::unique_lock lock(mutex);
        const std::size_t started = 1 + helpers.size();
        while (finished < started) {
            if (all_done.wait_for(lock, std::chrono::milliseconds(10)) == std::cv_status::timeout) {
                lock.unlock();
                on_caller.cancelled();
                lock.lock();
            }
        }
    }
    return !stop.load();
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

std::size_t available_cores() {
    cpu_set_t set;
    CPU_ZERO(&set);
    if (::sched_getaffinity(0, sizeof set, &set) == 0) {
        const int count = CPU_COUNT(&set);
        if (count > 0) return std::size_t(count);
    }
    return std::max(1u, std::thread::hardware_concurrency());
}

result<std::vector<std::shared_ptr<const session>>> load_sessions(
    const std::vector<fs::path>& paths, const warning_sink& warn, const load_options& options) {
    const std::size_t threads = std::max<std::size_t>(
        1, std::min(paths.size(), options.threads != 0 ? options.threads : available_cores()));
    std::vector<project_file> files(paths.size());
    if (!load_files(paths, files, threads, options)) {
        return sdk_error::io(io_error::with_message("interrupted", EINTR));
    }
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

loaded_project load_project(std::string_view identifier, const fs::path& base,
                            const warning_sink& warn, const load_options& options) {
    loaded_project out;
    auto fail = [&out](project_failure why, std::optional<sdk_error> error = std::nullopt) {
        out.failure = why;
        out.error = std::move(error);
        return std::move(out);
    };
    if (identifier.find_first_of("/\\") != std::string_view::npos) {
        out.directory = fs::path(std::string(identifier));
    } else {
        auto projects = find_projects(base);
        if (!projects) return fail(project_failure::listing_projects, projects.error());
        auto matched = match_project(projects.value(), identifier);
        if (!matched) return fail(project_failure::no_match);
        out.directory = std::move(*matched);
    }
    if (!entry_exists(out.directory.native())) return fail(project_failure::missing);
    auto paths = find_sessions(out.directory, std::nullopt);
    if (!paths) return fail(project_failure::listing_sessions, paths.error());
    auto loaded = load_sessions(paths.value(), warn, options);
    if (!loaded) return fail(project_failure::interrupted);
    out.sessions = std::move(loaded).value();
    return out;
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
