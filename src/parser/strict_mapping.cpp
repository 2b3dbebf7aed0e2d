// The strict mapping: a line's type decides its record; the first failure is the read's error.
#include "parser/strict_mapping.hpp"

#include <cstdio>
#include <optional>
#include <utility>

#include "parser/json_line.hpp"
#include "parser/record_mapping.hpp"

namespace kestro {

void write_warning_to_stderr(std::string_view line) {
    std::fwrite(line.data(), 1, line.size(), stderr);
    std::fputc('\n', stderr);
    std::fflush(stderr);
}

struct strict_mapping::impl {
    explicit impl(const warning_sink& w) : warn(w) {}

    template <class V>
    mapped dispatch(const V& root, std::uint64_t number) {
        bool has_type = false;
        V type_value;
        if (root.kind() == detail::json_kind::object) {
            root.for_each_member([&](std::string_view key, V value) {
                if (key == "type") {
                    has_type = true;
                    type_value = value;
                }
            });
        }
        if (!has_type || type_value.kind() != detail::json_kind::string) {
            return fail(number, "Missing 'type' field");
        }
        std::string_view type = type_value.string();
        if (type == "user" || type == "assistant") {
            // Mapped in place: the record is large, and moving it in would cost a copy.
            message_record& record = log.messages.emplace_back();
            if (auto mapped = mapper.map_message(root, record); !mapped) {
                log.messages.pop_back();
                return fail(number, "Invalid message record: " + *mapped.error().as_text());
            }
            if (!has_session_id) {
                log.session_id = record.session_id;
                has_session_id = true;
            }
            return mapped::message;
        }
        if (type == "summary") {
            summary_record& record = log.summaries.emplace_back();
            if (auto mapped = mapper.map_summary(root, record); !mapped) {
                log.summaries.pop_back();
                return fail(number, "Invalid summary record: " + *mapped.error().as_text());
            }
            return mapped::summary;
        }
        std::string warning = "Warning: Unknown record type '";
        warning.append(type);
        warning += "' at line " + std::to_string(number) + ", skipping";
        warn(warning);
        return mapped::skipped;
    }

    mapped fail(std::uint64_t number, std::string message) {
        error = sdk_error::invalid_jsonl(number, std::move(message));
        return mapped::failed;
    }

    const warning_sink& warn;
    detail::json_line_reader reader;
    detail::record_mapper mapper;
    parsed_log log;
    bool has_session_id = false;
    std::optional<sdk_error> error;
};

strict_mapping::strict_mapping(const warning_sink& warn) : impl_(std::make_unique<impl>(warn)) {}

strict_mapping::~strict_mapping() = default;

void strict_mapping::expect_bytes(std::size_t bytes) {
    // Lines of real logs average a few KiB; a low guess only costs one more growth.
    constexpr std::size_t bytes_per_record_estimate = 2048;
    impl_->log.messages.reserve(bytes / bytes_per_record_estimate + 1);
}

strict_mapping::mapped strict_mapping::map(std::uint64_t number, std::string_view text,
                                           std::size_t readable) {
    using outcome = detail::json_line_reader::outcome;
    switch (impl_->reader.read(text, readable)) {
        case outcome::dom:
            return impl_->dispatch(impl_->reader.dom(), number);
        case outcome::value:
            return impl_->dispatch(impl_->reader.value(), number);
        case outcome::not_utf8:
            impl_->error =
                sdk_error::io(io_error::with_message("stream did not contain valid UTF-8"));
            return mapped::failed;
        case outcome::invalid_json:
            break;
        case outcome::too_long:
            return impl_->fail(
                number, "line " + std::to_string(number) + " is longer than " +
                            std::to_string(detail::json_line_reader::max_line_bytes) + " bytes");
    }
    return impl_->fail(number, "Invalid JSON: " + impl_->reader.error());
}

const message_record& strict_mapping::last_message() const {
    return impl_->log.messages.back();
}

const summary_record& strict_mapping::last_summary() const {
    return impl_->log.summaries.back();
}

sdk_error strict_mapping::take_error() {
    return std::move(*impl_->error);
}

result<parsed_log> strict_mapping::finish() {
    if (impl_->log.messages.empty()) {
        return sdk_error::empty_file();
    }
    return std::move(impl_->log);
}

}  // namespace kestro
