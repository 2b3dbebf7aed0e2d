// Reply rows of the usage scan: plain data, texts pooled so a row stays small.
#pragma once

#include <cstdint>
#include <deque>
#include <optional>
#include <string>
#include <string_view>
#include <unordered_map>
#include <utility>
#include <vector>

#include "types/date_time.hpp"
#include "types/transcript.hpp"

namespace kestro {

// Texts that repeat over many rows (projects, sessions, agents, models, tool names), each kept
// once. Index 0 is no text (None).
class text_pool {
  public:
    text_pool() : texts_(1) {}
    // Moving keeps the deque's elements where they are; a copy would leave views behind.
    text_pool(const text_pool&) = delete;
    text_pool& operator=(const text_pool&) = delete;
    text_pool(text_pool&&) = default;
    text_pool& operator=(text_pool&&) = default;
    ~text_pool() = default;
    // The index of `text`, added when new. O(1) expected.
    std::uint32_t intern(std::string_view text);
    [[nodiscard]] const std::string& at(std::uint32_t index) const { return texts_[index]; }
    [[nodiscard]] std::size_t size() const { return texts_.size(); }

  private:
    // A deque never moves its elements, so the index's views into them stay valid.
    std::deque<std::string> texts_;
    std::unordered_map<std::string_view, std::uint32_t> index_;
};

// One API reply as the scan reports it. Pool indexes refer to the pool of the table holding it.
struct usage_row : reply_figures {
    std::uint32_t project = 0;
    std::uint32_t session_id = 0;
    std::uint32_t agent_id = 0;  // 0 for the main conversation
    std::uint32_t model = 0;     // 0 when no record names one
    bool is_sidechain = false;
    std::optional<std::string> message_id;
    std::optional<std::string> request_id;
    // The reply key's hash (see analysis/replies.hpp), taken while the ids were in cache, so
    // that merging tables does not read them again; 0 without a message id.
    std::uint64_t key_hash = 0;
    std::vector<std::uint32_t> tools;  // names of its tool_use blocks, in order
    // Names of its calls whose result came back as an error, in the order the results came.
    std::vector<std::uint32_t> tool_errors;
};

// A file's problems: how many, and the first few kept.
struct file_problems {
    std::string path;
    std::uint64_t count = 0;
    std::vector<std::pair<std::uint64_t, std::string>> first;  // (line, reason)
};

// Rows over one pool, and the problems met making them.
struct usage_table {
    text_pool texts;
    std::vector<usage_row> rows;
    std::vector<file_problems> problems;
};

}  // namespace kestro
