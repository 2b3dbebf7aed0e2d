// Rendering of the core's error kinds.
#include "error.hpp"

#include <cstring>
#include <exception>

namespace kestro {

std::string io_error::description() const {
    if (message) return *message;
    char buf[256];
    // GNU strerror_r returns the text, which may or may not live in `buf`.
    const char* text = strerror_r(code, buf, sizeof buf);
    return std::string(text) + " (os error " + std::to_string(code) + ")";
}

std::string parse_error::render() const {
    switch (kind) {
        case parse_error_kind::invalid_jsonl:
            return "Invalid JSONL format at line " + std::to_string(line) + ": " + text;
        case parse_error_kind::missing_field:
            return "Missing required field '" + text + "' in record";
        case parse_error_kind::invalid_timestamp:
            return "Invalid timestamp format: " + text;
        case parse_error_kind::invalid_uuid:
            return "Invalid UUID format: " + text;
        case parse_error_kind::corrupted_file:
            return "Corrupted session file: " + text;
        case parse_error_kind::empty_file:
            return "Empty session file";
        case parse_error_kind::unsupported_version:
            return "Unsupported format version: " + text;
    }
    return {};
}

std::string format_duration(std::chrono::nanoseconds d) {
    const std::uint64_t total = d.count() < 0 ? 0 : static_cast<std::uint64_t>(d.count());
    const std::uint64_t secs = total / 1'000'000'000;
    const std::uint64_t nanos = total % 1'000'000'000;
    std::uint64_t whole = 0;
    std::uint64_t frac = 0;
    int frac_digits = 0;
    const char* unit = "ns";
    if (secs > 0) {
        whole = secs, frac = nanos, frac_digits = 9, unit = "s";
    } else if (nanos >= 1'000'000) {
        whole = nanos / 1'000'000, frac = nanos % 1'000'000, frac_digits = 6, unit = "ms";
    } else if (nanos >= 1'000) {
        whole = nanos / 1'000, frac = nanos % 1'000, frac_digits = 3, unit = "\u00b5s";
    } else {
        whole = nanos;
    }
    std::string out = std::to_string(whole);
    if (frac != 0) {
        std::string digits = std::to_string(frac);
        digits.insert(0, static_cast<std::size_t>(frac_digits) - digits.size(), '0');
        while (!digits.empty() && digits.back() == '0')
            digits.pop_back();
        out += '.';
        out += digits;
    }
    return out + unit;
}

std::string execution_error::render() const {
    switch (kind) {
        case execution_error_kind::binary_not_found:
            return "Kestro binary not found at: " + text;
        case execution_error_kind::execution_failed:
            return "Kestro execution failed: " + text;
        case execution_error_kind::invalid_output:
            return "Invalid output format: " + text;
        case execution_error_kind::timeout:
            return "Timeout after " + format_duration(timeout);
        case execution_error_kind::spawn_failed:
            return "Process spawn failed: " + io.description();
    }
    return {};
}

sdk_error sdk_error::session_not_found(std::string what) {
    return {error_kind::session_not_found, std::move(what)};
}
sdk_error sdk_error::parse(parse_error e) {
    return {error_kind::parse, std::move(e)};
}
sdk_error sdk_error::invalid_jsonl(std::uint64_t line, std::string message) {
    return parse(parse_error{parse_error_kind::invalid_jsonl, line, std::move(message)});
}
sdk_error sdk_error::empty_file() {
    return parse(parse_error{parse_error_kind::empty_file, 0, {}});
}
sdk_error sdk_error::execution(execution_error e) {
    return {error_kind::execution, std::move(e)};
}
sdk_error sdk_error::io(io_error e) {
    return {error_kind::io, std::move(e)};
}
sdk_error sdk_error::json(std::string description) {
    return {error_kind::json, std::move(description)};
}

std::string sdk_error::render() const {
    switch (kind_) {
        case error_kind::session_not_found:
            return "Session not found: " + std::get<std::string>(payload_);
        case error_kind::parse:
            return "Parse error: " + std::get<parse_error>(payload_).render();
        case error_kind::execution:
            return "Execution error: " + std::get<execution_error>(payload_).render();
        case error_kind::io:
            return "IO error: " + std::get<io_error>(payload_).description();
        case error_kind::json:
            return "JSON error: " + std::get<std::string>(payload_);
    }
    return {};
}

void reserve_exception_state() noexcept {
    // Reading the count of uncaught exceptions goes through the per-thread state. The library
    // declares the function pure, so an unused result would let the call be dropped.
    volatile int uncaught = std::uncaught_exceptions();
    static_cast<void>(uncaught);
}

}  // namespace kestro
