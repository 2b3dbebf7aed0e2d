// The complete reader's line handler, plugged into the block reader.
#include "parser/transcript_reader.hpp"

#include <string>

#include "parser/json_reader.hpp"
#include "parser/line_source.hpp"
#include "parser/transcript_mapping.hpp"

namespace kestro {

namespace {

class line_handler {
  public:
    explicit line_handler(transcript_sink& sink) : sink_(sink) {}

    bool feed(const char* data, std::size_t size, const char* readable_end) {
        return detail::split_lines(
            data, size, readable_end,
            [this](std::string_view text, std::size_t readable) { return line(text, readable); });
    }

  private:
    bool line(std::string_view text, std::size_t readable) {
        ++line_number_;
        if (detail::is_blank(text)) return true;
        const auto outcome = reader_.parse(text, readable);
        line_.record.line = line_number_;
        if (outcome != detail::line_reader::outcome::dom && !simdjson::validate_utf8(text)) {
            return problem("not valid UTF-8");
        }
        switch (outcome) {
            case detail::line_reader::outcome::dom:
                mapper_.map(detail::dom_view(reader_.dom()), line_);
                return sink_.take(line_);
            case detail::line_reader::outcome::value:
                mapper_.map(detail::json_view(reader_.value()), line_);
                return sink_.take(line_);
            case detail::line_reader::outcome::failed:
                break;
        }
        return problem("not JSON: " + reader_.error());
    }

    bool problem(std::string reason) {
        line_ = transcript_line{};
        line_.record.line = line_number_;
        line_.record.kind = record_kind::problem;
        line_.record.reason = std::move(reason);
        return sink_.take(line_);
    }

    transcript_sink& sink_;
    detail::line_reader reader_;
    detail::transcript_mapper mapper_;
    transcript_line line_;
    std::uint64_t line_number_ = 0;
};

}  // namespace

std::optional<sdk_error> read_transcript_file(const std::filesystem::path& path,
                                              transcript_sink& sink) {
    detail::open_file file(path);
    if (file.fd() < 0) return file.error();
    line_handler handler(sink);
    const std::size_t expected = file.expected_size();
    sink.expect_bytes(expected);
    return detail::read_blocks(file.fd(), expected,
                               [&](const char* data, std::size_t size, const char* end) {
                                   return handler.feed(data, size, end);
                               });
}

void read_transcript_bytes(std::string_view bytes, transcript_sink& sink) {
    line_handler handler(sink);
    sink.expect_bytes(bytes.size());
    (void)handler.feed(bytes.data(), bytes.size(), bytes.data() + bytes.size());
}

}  // namespace kestro
