// The usage scan: a lean sink per file, files on a pool of threads, replies merged across files.
#include "session/usage_scan.hpp"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <exception>
#include <mutex>
#include <new>
#include <string>
#include <string_view>
#include <system_error>
#include <thread>
#include <utility>
#include <vector>

#include "analysis/replies.hpp"
#include "error.hpp"
#include "parser/line_source.hpp"
#include "parser/usage_reader.hpp"
#include "types/keyed_hash.hpp"

namespace kestro {

namespace detail {

// Whether `row` is the reply `key` names.
bool holds(const usage_row& row, const reply_key& key) {
    return holds_key(row.message_id, row.request_id, key);
}

// The row of `rows` whose reply is `key`, hashed to `hash`. When there is none, `added` (the index
// the caller gives the row it is about to append) is recorded and returned. A slot holds a row's
// index and its key's hash, and a candidate is confirmed against the row's own ids, so no key is
// copied: a copied key per record was an allocation per line, and per row it outweighed the row.
std::size_t find_or_add(row_index& index, const reply_key& key, std::uint64_t hash,
                        const std::vector<usage_row>& rows, std::size_t added) {
    const auto holds_key = [&](std::size_t row) { return holds(rows[row], key); };
    return *index.try_emplace(hash, row_index::row_of(added), holds_key).first;
}

}  // namespace detail

namespace {

// Builds one file's rows and facts from its lines.
class file_sink final : public usage_sink {
  public:
    file_sink(file_scan& out, std::uint32_t project, std::size_t max_problems)
        : out_(out), project_(project), max_problems_(max_problems) {}

    bool take(usage_line& line) override {
        using kind = usage_line::kind;
        if (line.what == kind::problem) {
            note_problem(line.line, std::move(line.reason));
            return true;
        }
        if (line.timestamp) {
            const date_time& t = *line.timestamp;
            if (!out_.first_timestamp || t < *out_.first_timestamp) out_.first_timestamp = t;
            if (!out_.last_timestamp || *out_.last_timestamp < t) out_.last_timestamp = t;
        }
        if (line.session_id && !out_.session_id) out_.session_id = std::string(*line.session_id);
        if (line.agent_id && !out_.agent_id) out_.agent_id = std::string(*line.agent_id);
        if (line.title_kind != title_source::none && line.title_kind >= title_kind_) {
            title_kind_ = line.title_kind;
            out_.title = std::string(line.title);
        }
        if (line.turn_duration_ms) {
            out_.turn_duration_ms = out_.turn_duration_ms.value_or(0) + *line.turn_duration_ms;
        }
        if (line.what == kind::prompt) {
            close_turn();
            prompt_ = line.timestamp;
        } else if (line.what == kind::reply) {
            reply(line);
        }
        for (const auto& [id, error] : line.tool_results)
            answer(id, error);
        return true;
    }

    // Closes the last turn, gives rows without a session the file's and lists the calls left
    // without a result.
    void finish(std::string_view stem) {
        for (const call& c : calls_) {
            if (!c.answered) out_.open_calls.push_back({std::string(id_of(c)), c.row, c.name});
        }
        // In file order, so that what is read from them does not depend on the hash.
        std::sort(out_.open_calls.begin(), out_.open_calls.end(),
                  [](const file_scan::open_call& a, const file_scan::open_call& b) {
                      return a.row != b.row ? a.row < b.row : a.id < b.id;
                  });
        calls_ = {};
        call_ids_ = {};
        call_index_ = row_index();
        close_turn();
        std::uint32_t fallback = 0;
        for (usage_row& row : out_.rows.rows) {
            if (row.session_id != 0) continue;
            if (fallback == 0) {
                fallback = out_.rows.texts.intern(out_.session_id ? *out_.session_id : stem);
            }
            row.session_id = fallback;
        }
    }

  private:
    void note_problem(std::uint64_t line, std::string reason) {
        auto& problems = out_.rows.problems;
        if (problems.empty()) problems.push_back(file_problems{out_.path, 0, {}});
        ++problems.front().count;
        if (problems.front().first.size() < max_problems_) {
            problems.front().first.emplace_back(line, std::move(reason));
        }
    }

    void close_turn() {
        if (prompt_ && last_reply_ && *prompt_ < *last_reply_) {
            out_.prompt_active_ms += std::uint64_t((*last_reply_ - *prompt_).whole_milliseconds());
        }
        prompt_.reset();
        last_reply_.reset();
    }

    void reply(const usage_line& line) {
        const date_time& when = *line.timestamp;  // a reply always has one
        if (!last_reply_ || *last_reply_ < when) last_reply_ = when;
        usage_table& table = out_.rows;
        std::size_t at = table.rows.size();
        std::uint64_t hash = 0;
        if (auto key = key_of(line.message_id, line.request_id)) {
            // A streamed reply's records come one after another: most are the row last used.
            if (last_ < table.rows.size() && detail::holds(table.rows[last_], *key)) {
                at = last_;
            } else {
                hash = reply_key_hash{}(*key);
                at = detail::find_or_add(by_key_, *key, hash, table.rows, at);
            }
        }
        last_ = at;
        const bool first = at == table.rows.size();
        if (first) {
            usage_row& row = table.rows.emplace_back();
            row.project = project_;
            row.session_id = line.session_id ? intern(session_, *line.session_id) : 0;
            row.agent_id = line.agent_id ? intern(agent_, *line.agent_id) : 0;
            row.is_sidechain = line.is_sidechain;
            if (line.message_id) row.message_id = std::string(*line.message_id);
            if (line.request_id) row.request_id = std::string(*line.request_id);
            row.key_hash = hash;
        }
        usage_row& row = table.rows[at];
        add_to_reply(row, line.usage, when, line.cost_usd, first);
        // Model: the last a record names, as the complete reader takes it.
        if (line.model && (row.model == 0 || table.texts.at(row.model) != *line.model)) {
            row.model = intern(model_, *line.model);
        }
        for (std::size_t i = 0; i < line.tools.size(); ++i) {
            const std::uint32_t name = table.texts.intern(line.tools[i]);
            if (const auto& id = line.tool_ids[i]) {
                // A record repeated within its reply repeats its calls: each counts once.
                const auto [c, added] = call_index_.try_emplace(
                    text_hash{}(*id), row_index::row_of(calls_.size()),
                    [&](std::size_t known) { return id_of(calls_[known]) == *id; });
                if (added) {
                    calls_.push_back(call{call_ids_.size(), id->size(), at, name});
                    call_ids_.append(*id);
                } else {
                    call& known = calls_[*c];
                    if (known.row == at) continue;
                    known = call{known.id_at, known.id_size, at, name};
                }
            }
            row.tools.push_back(name);
        }
    }

    // A result: the call it answers is done, and named among its reply's errors if it failed.
    void answer(std::string_view id, bool error) {
        const row_index::row_type* found = call_index_.find(
            text_hash{}(id), [&](std::size_t known) { return id_of(calls_[known]) == id; });
        if (found == nullptr) {
            out_.stray_results.emplace_back(std::string(id), error);
            return;
        }
        call& c = calls_[*found];
        if (error && !c.erred) {
            c.erred = true;
            out_.rows.rows[c.row].tool_errors.push_back(c.name);
        }
        c.answered = true;
    }

    file_scan& out_;
    std::uint32_t project_;
    std::size_t max_problems_;
    title_source title_kind_ = title_source::none;
    std::optional<date_time> prompt_;
    std::optional<date_time> last_reply_;
    row_index by_key_;
    std::size_t last_ = SIZE_MAX;  // the row of the last reply record
    // The file's tool calls in the order first met, their ids end to end in one text, and an
    // index by id: no allocation per call.
    struct call {
        std::size_t id_at = 0;  // where its id starts in call_ids_
        std::size_t id_size = 0;
        std::size_t row = 0;
        std::uint32_t name = 0;
        bool answered = false;
        bool erred = false;
    };
    [[nodiscard]] std::string_view id_of(const call& c) const {
        return std::string_view(call_ids_).substr(c.id_at, c.id_size);
    }
    std::vector<call> calls_;
    std::string call_ids_;
    row_index call_index_;

    // The pool index a field last took: a file repeats its session, agent and model, so most
    // lookups end in one comparison.
    std::uint32_t intern(std::uint32_t& last, std::string_view text) {
        text_pool& texts = out_.rows.texts;
        if (last == 0 || texts.at(last) != text) last = texts.intern(text);
        return last;
    }
    std::uint32_t session_ = 0;
    std::uint32_t agent_ = 0;
    std::uint32_t model_ = 0;
};

class fd_closer {
  public:
    explicit fd_closer(int fd) : fd_(fd) {}
    ~fd_closer() { ::close(fd_); }
    fd_closer(const fd_closer&) = delete;
    fd_closer& operator=(const fd_closer&) = delete;

  private:
    int fd_;
};

}  // namespace

file_scan scan_file(const scan_input& in, std::size_t max_problems,
                    const std::atomic<bool>* cancel) {
    usage_reader reader;
    return scan_file(in, max_problems, cancel, reader);
}

file_scan scan_file(const scan_input& in, std::size_t max_problems, const std::atomic<bool>* cancel,
                    usage_reader& reader) {
    file_scan out;
    out.path = in.path.string();
    out.start = in.start;
    out.end = in.start;
    const std::uint32_t project = out.rows.texts.intern(in.project);
    result<int> fd = detail::open_log(in.path);
    if (!fd) {
        out.error = fd.error().render();
    } else {
        const fd_closer closer(fd.value());
        struct stat st {};
        if (::fstat(fd.value(), &st) == 0) {
            out.dev = std::uint64_t(st.st_dev);
            out.ino = std::uint64_t(st.st_ino);
            out.size = std::uint64_t(st.st_size);
            out.mtime_ns = std::int64_t(st.st_mtim.tv_sec) * 1'000'000'000 + st.st_mtim.tv_nsec;
        }
        file_sink sink(out, project, max_problems);
        usage_read read;
        auto failure = reader.read(fd.value(), in.start, sink, cancel, read);
        out.end = read.end;
        out.lines = read.lines;
        if (failure) out.error = failure->render();
        sink.finish(in.path.stem().string());
    }
    if (out.error) {
        auto& problems = out.rows.problems;
        problems.insert(problems.begin(), file_problems{out.path, 1, {{0, *out.error}}});
        if (problems.size() > 1) {
            problems[0].count += problems[1].count;
            for (auto& p : problems[1].first)
                problems[0].first.push_back(std::move(p));
            problems.resize(1);
        }
    }
    return out;
}

void scan_files(const std::vector<scan_input>& inputs, unsigned threads, std::size_t max_problems,
                const std::atomic<bool>* cancel,
                const std::function<void(std::size_t, file_scan&&)>& take) {
    if (threads == 0) threads = std::max(1u, std::thread::hardware_concurrency());
    threads = unsigned(std::min<std::size_t>(threads, std::max<std::size_t>(inputs.size(), 1)));
    std::atomic<std::size_t> next{0};
    std::exception_ptr failure;
    std::atomic<bool> failed{false};
    // Results wait here only until every file before them is done, so what is held at once is
    // about one file per thread, not the whole history.
    std::mutex order_lock;
    std::vector<std::optional<file_scan>> waiting(inputs.size());
    std::size_t handed = 0;
    auto work = [&] {
        try {
            usage_reader reader;
            for (;;) {
                if (failed.load() || (cancel != nullptr && cancel->load())) return;
                const std::size_t i = next.fetch_add(1);
                if (i >= inputs.size()) return;
                file_scan done = scan_file(inputs[i], max_problems, cancel, reader);
                const std::lock_guard lock(order_lock);
                waiting[i] = std::move(done);
                for (; handed < waiting.size() && waiting[handed]; ++handed) {
                    take(handed, std::move(*waiting[handed]));
                    waiting[handed].reset();
                }
            }
        } catch (...) {
            const std::lock_guard lock(order_lock);
            if (!failure) failure = std::current_exception();
            failed = true;
        }
    };
    std::vector<std::thread> pool;
    pool.reserve(threads - 1);
    try {
        for (unsigned t = 1; t < threads; ++t) {
            pool.emplace_back([&work] {
                // A first throw on a thread sets up its exception state; when memory has run
                // out by then, the C library ends the process instead.
                reserve_exception_state();
                work();
            });
        }
    } catch (const std::system_error&) {
        // No more threads to be had: the ones running (and this one) do the work.
    }
    work();
    for (std::thread& t : pool)
        t.join();
    if (failure) std::rethrow_exception(failure);
}

std::vector<file_scan> scan_files(const std::vector<scan_input>& inputs, unsigned threads,
                                  std::size_t max_problems, const std::atomic<bool>* cancel) {
    std::vector<file_scan> out(inputs.size());
    scan_files(inputs, threads, max_problems, cancel,
               [&](std::size_t i, file_scan&& scan) { out[i] = std::move(scan); });
    return out;
}

namespace {

// A directory opened relative to another, listed with readdir; entries are looked up relative
// to it, so no path is walked again per entry.
class open_dir {
  public:
    // `name` in the directory `parent` (AT_FDCWD for a path), links followed; empty when it is
    // not a directory that can be read. Running out of memory is std::bad_alloc: a folder
    // skipped for it would leave the scan silently short.
    open_dir(int parent, const char* name) {
        const int fd = ::openat(parent, name, O_RDONLY | O_DIRECTORY | O_CLOEXEC);
        if (fd < 0) {
            if (errno == ENOMEM) throw std::bad_alloc();
            return;
        }
        dir_ = ::fdopendir(fd);
        if (dir_ == nullptr) {
            const int error = errno;
            ::close(fd);
            if (error == ENOMEM) throw std::bad_alloc();
        }
    }
    ~open_dir() {
        if (dir_ != nullptr) ::closedir(dir_);
    }
    open_dir(const open_dir&) = delete;
    open_dir& operator=(const open_dir&) = delete;

    explicit operator bool() const { return dir_ != nullptr; }
    [[nodiscard]] int fd() const { return ::dirfd(dir_); }

    // The next entry other than "." and "..", or nullptr at the end.
    const dirent* next() {
        for (;;) {
            const dirent* e = ::readdir(dir_);
            if (e == nullptr) return nullptr;
            const std::string_view name = e->d_name;
            if (name != "." && name != "..") return e;
        }
    }

  private:
    DIR* dir_ = nullptr;
};

// What an entry is, links followed; the size is read for regular files only when `sized`.
struct entry_kind {
    bool directory = false;
    bool regular = false;
    std::uint64_t size = 0;
};

entry_kind kind_of(int dir, const dirent& e, bool sized) {
    entry_kind k;
    if (e.d_type == DT_DIR) {
        k.directory = true;
        return k;
    }
    if (e.d_type != DT_REG && e.d_type != DT_LNK && e.d_type != DT_UNKNOWN) return k;
    if (e.d_type == DT_REG && !sized) {
        k.regular = true;
        return k;
    }
    struct stat st {};
    if (::fstatat(dir, e.d_name, &st, 0) != 0) {
        if (errno == ENOMEM) throw std::bad_alloc();
        return k;
    }
    k.directory = S_ISDIR(st.st_mode);
    k.regular = S_ISREG(st.st_mode);
    k.size = k.regular ? std::uint64_t(st.st_size) : 0;
    return k;
}

// A session log's name: something before the extension ".jsonl", as a path's extension reads.
bool is_log_name(std::string_view name) {
    return name.size() > 6 && name.ends_with(".jsonl");
}

// The logs of a sub-agents folder, each with the project it belongs to. Left unsized: they are
// a small part of the bytes, and a stat each would cost a sixth of the listing.
void add_logs(open_dir& dir, const std::filesystem::path& path, const std::string& project,
              std::vector<scan_input>& files) {
    while (const dirent* e = dir.next()) {
        if (!is_log_name(e->d_name)) continue;
        const entry_kind k = kind_of(dir.fd(), *e, false);
        if (k.regular) files.push_back({path / e->d_name, 0, project, k.size});
    }
}

}  // namespace

std::vector<scan_input> find_usage_files(const std::vector<std::filesystem::path>& bases,
                                         const std::vector<std::string>& projects) {
    std::vector<scan_input> files;
    auto wanted = [&](std::string_view name) {
        if (projects.empty()) return true;
        return std::any_of(projects.begin(), projects.end(),
                           [&](const std::string& p) { return name.find(p) != std::string::npos; });
    };
    for (const std::filesystem::path& base : bases) {
        open_dir top(AT_FDCWD, base.c_str());
        if (!top) continue;
        while (const dirent* d = top.next()) {
            if (!wanted(d->d_name) || !kind_of(top.fd(), *d, false).directory) continue;
            const std::string project = d->d_name;
            const std::filesystem::path project_path = base / project;
            open_dir folder(top.fd(), d->d_name);
            if (!folder) continue;
            while (const dirent* e = folder.next()) {
                const std::string_view name = e->d_name;
                if (is_log_name(name)) {
                    const entry_kind k = kind_of(folder.fd(), *e, true);
                    if (k.regular) files.push_back({project_path / name, 0, project, k.size});
                    if (k.regular || !k.directory) continue;
                }
                // A session's folder: its sub-agents' logs, when it has any.
                if (e->d_type != DT_DIR && e->d_type != DT_LNK && e->d_type != DT_UNKNOWN) continue;
                const std::string subagents = std::string(name) + "/subagents";
                open_dir agents(folder.fd(), subagents.c_str());
                if (agents) add_logs(agents, project_path / name / "subagents", project, files);
            }
        }
    }
    std::sort(files.begin(), files.end(), [](const scan_input& a, const scan_input& b) {
        return a.path.native() < b.path.native();
    });
    // A folder given twice is read once: rows without a key could not be told apart.
    files.erase(std::unique(files.begin(), files.end(),
                            [](const scan_input& a, const scan_input& b) {
                                return a.path.native() == b.path.native();
                            }),
                files.end());
    return files;
}

void scan_merger::expect_bytes(std::uint64_t bytes) {
    // Logs hold about one reply per 10 KB; pages reserved but never written cost no memory.
    const std::uint64_t rows = bytes / 8192 + 1;
    if (rows <= table_.rows.capacity() || rows > table_.rows.max_size()) return;
    try {
        table_.rows.reserve(std::size_t(rows));
    } catch (const std::bad_alloc&) {
        // The guess was too large to reserve; growing as rows come still works.
    }
}

void scan_merger::add(file_scan&& scan) {
    usage_table& part = scan.rows;
    for (file_problems& p : part.problems)
        table_.problems.push_back(std::move(p));
    remap_.assign(part.texts.size(), 0);
    auto text = [&](std::uint32_t i) {
        if (i != 0 && remap_[i] == 0) remap_[i] = table_.texts.intern(part.texts.at(i));
        return remap_[i];
    };
    for (usage_row& row : part.rows) {
        if (auto key = key_of(row.message_id, row.request_id)) {
            const std::size_t at =
                detail::find_or_add(by_key_, *key, row.key_hash, table_.rows, table_.rows.size());
            if (at != table_.rows.size()) {
                usage_row& kept = table_.rows[at];
                merge_figures(kept, row);
                if (kept.model == 0) kept.model = text(row.model);
                continue;
            }
        }
        row.project = text(row.project);
        row.session_id = text(row.session_id);
        row.agent_id = text(row.agent_id);
        row.model = text(row.model);
        for (std::uint32_t& tool : row.tools)
            tool = text(tool);
        for (std::uint32_t& tool : row.tool_errors)
            tool = text(tool);
        table_.rows.push_back(std::move(row));
    }
}

scan_merger::scan_merger() = default;
scan_merger::~scan_merger() = default;

usage_table scan_merger::finish(const usage_filter& filter) {
    by_key_ = row_index();
    std::erase_if(table_.rows, [&](const usage_row& row) {
        if (!filter.subagents && (row.agent_id != 0 || row.is_sidechain)) return true;
        if (filter.since && row.timestamp < *filter.since) return true;
        return filter.until && *filter.until < row.timestamp;
    });
    return std::move(table_);
}

usage_table merge_scans(std::vector<file_scan>&& scans, const usage_filter& filter) {
    scan_merger merger;
    for (file_scan& scan : scans) {
        merger.add(std::move(scan));
        // Each file's rows are dropped once merged, so the peak is the merged rows.
        scan = file_scan{};
    }
    return merger.finish(filter);
}

usage_table scan_usage(const std::vector<std::filesystem::path>& bases, const usage_filter& filter,
                       unsigned threads, const std::atomic<bool>* cancel) {
    const auto files = find_usage_files(bases, filter.projects);
    scan_merger merger;
    std::uint64_t bytes = 0;
    for (const scan_input& file : files)
        bytes += file.bytes;
    merger.expect_bytes(bytes);
    // Each file is merged as soon as the files before it are, and dropped.
    scan_files(files, threads, kept_problems, cancel,
               [&](std::size_t, file_scan&& scan) { merger.add(std::move(scan)); });
    return merger.finish(filter);
}

}  // namespace kestro
