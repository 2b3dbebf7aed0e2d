// The usage scan: log files read in parallel for their replies, each reply counted once.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "parser/usage_reader.hpp"
#include "types/date_time.hpp"
#include "types/row_index.hpp"
#include "types/usage.hpp"

namespace kestro {

// A file to scan, from byte `start` on.
struct scan_input {
    std::filesystem::path path;
    std::uint64_t start = 0;
    std::string project;      // the project the file belongs to
    std::uint64_t bytes = 0;  // its size when listed, to size tables by; 0 when not known
};

// One file scanned: its replies merged within the file, its problems, its session's facts.
struct file_scan {
    std::string path;
    std::uint64_t start = 0;
    std::uint64_t end = 0;    // just past the last line read completely
    std::uint64_t lines = 0;  // physical lines between start and end
    // Of the descriptor that was read (fstat).
    std::uint64_t dev = 0;
    std::uint64_t ino = 0;
    std::uint64_t size = 0;
    std::int64_t mtime_ns = 0;
    std::optional<std::string> error;       // the file could not be opened or read
    usage_table rows;                       // rows.problems holds this file's problems, if any
    std::optional<std::string> session_id;  // the first logged
    std::optional<std::string> agent_id;    // the first logged
    std::optional<std::string> title;  // last custom-title, else last ai-title, else last summary
    std::optional<date_time> first_timestamp;
    std::optional<date_time> last_timestamp;
    std::optional<std::uint64_t> turn_duration_ms;
    std::uint64_t prompt_active_ms = 0;
    // A file read in parts (it grew) may answer in one part the calls of another: the calls
    // this read met without a result, and the results it met without their call.
    struct open_call {
        std::string id;
        std::size_t row = 0;     // index into rows.rows
        std::uint32_t name = 0;  // index into rows.texts
    };
    std::vector<open_call> open_calls;
    std::vector<std::pair<std::string, bool>> stray_results;  // (call id, is_error)
};

// Problems kept per file (all are counted).
inline constexpr std::size_t kept_problems = 5;

// Scans one file. Rows take the project `in.project`, the session of their first record (else
// the file's first session id, else the file name without ".jsonl"). `max_problems` bounds
// the problems kept. Never throws but std::bad_alloc.
file_scan scan_file(const scan_input& in, std::size_t max_problems,
                    const std::atomic<bool>* cancel);
// The same with a reader kept from file to file.
file_scan scan_file(const scan_input& in, std::size_t max_problems, const std::atomic<bool>* cancel,
                    usage_reader& reader);

// Scans the files on `threads` threads (0: one per core), results in the order of `inputs`.
// Stops early, leaving the rest empty, when `cancel` is set. A std::bad_alloc on a worker is
// rethrown here. Touches no Python state.
std::vector<file_scan> scan_files(const std::vector<scan_input>& inputs, unsigned threads,
                                  std::size_t max_problems, const std::atomic<bool>* cancel);
// The same, handing each result to `take` with its index in the order of `inputs` as soon as it
// and every file before it are done, so a caller that drops them holds about one per thread.
// `take` is called on the pool's threads, one call at a time; what it throws is rethrown here.
void scan_files(const std::vector<scan_input>& inputs, unsigned threads, std::size_t max_problems,
                const std::atomic<bool>* cancel,
                const std::function<void(std::size_t, file_scan&&)>& take);

// What scan_usage keeps.
struct usage_filter {
    std::optional<date_time> since;     // inclusive
    std::optional<date_time> until;     // inclusive
    std::vector<std::string> projects;  // a project is kept when its name contains any
    bool subagents = true;              // false leaves out rows with an agent or a side chain
};

// The session logs under each base folder: in every project folder, its *.jsonl files and its
// <session>/subagents/*.jsonl files; sorted by path. Folders that cannot be listed are skipped.
std::vector<scan_input> find_usage_files(const std::vector<std::filesystem::path>& bases,
                                         const std::vector<std::string>& projects);

// Every reply once over all the files, in path order: a reply met in several files takes its
// project, session and agent from the first, each count's maximum, the earliest time and the
// largest logged cost. Rows in order of first appearance. Never throws but std::bad_alloc.
usage_table scan_usage(const std::vector<std::filesystem::path>& bases, const usage_filter& filter,
                       unsigned threads, const std::atomic<bool>* cancel);

// Merges per-file scans (in path order) into one table, by the rule of scan_usage.
usage_table merge_scans(std::vector<file_scan>&& scans, const usage_filter& filter);

// The same merge one file at a time, in path order; each file's rows are taken, not copied.
class scan_merger {
  public:
    scan_merger();
    ~scan_merger();
    scan_merger(const scan_merger&) = delete;
    scan_merger& operator=(const scan_merger&) = delete;
    // Room for the rows of about `bytes` of logs, so that the table is not moved as it grows.
    // Only a guess: when the room cannot be had, the table grows as it goes.
    void expect_bytes(std::uint64_t bytes);
    void add(file_scan&& scan);
    // The merged rows that `filter` keeps; the merger is spent.
    usage_table finish(const usage_filter& filter);

  private:
    usage_table table_;
    row_index by_key_;
    std::vector<std::uint32_t> remap_;
};

}  // namespace kestro
