// Fuzz target: a file's bytes through the usage scan's reader, with what every read must keep.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string_view>

#include "parser/usage_reader.hpp"

namespace {

// Aborts (a finding) when a line breaks what the scan relies on.
class checking_sink final : public kestro::usage_sink {
  public:
    explicit checking_sink(std::uint64_t max_line) : max_line_(max_line) {}
    bool take(kestro::usage_line& line) override {
        using kind = kestro::usage_line::kind;
        if (line.line <= last_line_ || line.line > max_line_) std::abort();
        last_line_ = line.line;
        if ((line.what == kind::problem) == line.reason.empty()) std::abort();
        if (line.what == kind::reply && !line.timestamp) std::abort();
        if (line.what != kind::reply && !line.tools.empty()) std::abort();
        if (line.tool_ids.size() != line.tools.size()) std::abort();
        if (line.what == kind::problem && !line.tool_results.empty()) std::abort();
        return true;
    }

  private:
    std::uint64_t max_line_;
    std::uint64_t last_line_ = 0;
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string_view bytes(reinterpret_cast<const char*>(data), size);
    std::uint64_t feeds = 0;
    for (char c : bytes)
        feeds += c == '\n' ? 1 : 0;
    const std::uint64_t max_line = feeds + 1;
    checking_sink sink(max_line);
    const kestro::usage_read read = kestro::read_usage_bytes(bytes, sink);
    // The end is a line boundary inside the input, and the lines before it were counted.
    if (read.end > size || read.lines > max_line) std::abort();
    if (read.end > 0 && read.end < size && bytes[read.end - 1] != '\n') std::abort();
    // Every physical line up to the end is counted: each line feed, and a last line without one.
    std::uint64_t counted = 0;
    for (std::size_t i = 0; i < read.end; ++i)
        counted += bytes[i] == '\n' ? 1 : 0;
    if (read.end > 0 && bytes[read.end - 1] != '\n') ++counted;
    if (read.lines != counted) std::abort();
    return 0;
}
