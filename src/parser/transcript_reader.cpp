// The complete reader's line handler, plugged into the line layer.
#include "parser/transcript_reader.hpp"

#include <string>

#include "parser/json_line.hpp"
#include "parser/line_source.hpp"
#include "parser/transcript_mapping.hpp"

namespace kestro {

namespace {

// Every line becomes a record or a problem; the sink decides whether the read goes on.
class transcript_handler {
  public:
    explicit transcript_handler(transcript_sink& sink) : sink_(sink) {}

    void expect_bytes(std::size_t bytes) { sink_.expect_bytes(bytes); }

    bool line(std::uint64_t number, std::string_view text, std::size_t readable) {
        line_.record.line = number;
        switch (reader_.read(text, readable)) {
            case detail::json_line_reader::outcome::dom:
                mapper_.map(reader_.dom(), line_);
                return sink_.take(line_);
            case detail::json_line_reader::outcome::value:
                mapper_.map(reader_.value(), line_);
                return sink_.take(line_);
            case detail::json_line_reader::outcome::not_utf8:
                return problem(number, "not valid UTF-8");
            case detail::json_line_reader::outcome::invalid_json:
                break;
        }
        return problem(number, "not JSON: " + reader_.error());
    }

  private:
    bool problem(std::uint64_t number, std::string reason) {
        line_ = transcript_line{};
        line_.record.line = number;
        line_.record.kind = record_kind::problem;
        line_.record.reason = std::move(reason);
        return sink_.take(line_);
    }

    transcript_sink& sink_;
    detail::json_line_reader reader_;
    detail::transcript_mapper mapper_;
    transcript_line line_;
};

}  // namespace

std::optional<sdk_error> read_transcript_file(const std::filesystem::path& path,
                                              transcript_sink& sink) {
    transcript_handler handler(sink);
    result<read_end> how = read_file_lines(path, handler);
    if (!how) return how.error();
    return std::nullopt;
}

void read_transcript_bytes(std::string_view bytes, transcript_sink& sink) {
    transcript_handler handler(sink);
    (void)read_bytes_lines(bytes, handler);
}

}  // namespace kestro
