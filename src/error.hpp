// The one error type of the core, its kinds and their message texts.
#pragma once

#include <cerrno>
#include <chrono>
#include <cstdint>
#include <filesystem>
#include <new>
#include <optional>
#include <string>
#include <utility>
#include <variant>

namespace kestro {

// An operating-system I/O failure: an errno value, or a message of our own (then the message
// alone is the description). `not_found` marks the not-found category for messages of our own.
struct io_error {
    int code = 0;
    std::optional<std::string> message;

    // ENOMEM is the kernel running out of memory on our behalf, not a fault of the file or
    // folder: it must reach the caller as a memory failure, never as a per-file IO problem.
    static io_error from_errno(int code) {
        if (code == ENOMEM) throw std::bad_alloc();
        return io_error{code, std::nullopt};
    }
    static io_error with_message(std::string message, int code = 0) {
        return io_error{code, std::move(message)};
    }
    // The operating system's text for `code` followed by " (os error N)", or the own message.
    [[nodiscard]] std::string description() const;
};

enum class parse_error_kind : std::uint8_t {
    invalid_jsonl,
    missing_field,
    invalid_timestamp,
    invalid_uuid,
    corrupted_file,
    empty_file,
    unsupported_version,
};

enum class execution_error_kind : std::uint8_t {
    binary_not_found,
    execution_failed,
    invalid_output,
    timeout,
    spawn_failed,
};

enum class error_kind : std::uint8_t { session_not_found, parse, execution, io, json };

struct parse_error {
    parse_error_kind kind;
    std::uint64_t line = 0;  // invalid_jsonl only
    std::string text;        // message, field name or free text; empty for empty_file
    [[nodiscard]] std::string render() const;
};

struct execution_error {
    execution_error_kind kind;
    std::string text;                    // path or free text
    std::chrono::nanoseconds timeout{};  // timeout only
    io_error io;                         // spawn_failed only
    [[nodiscard]] std::string render() const;
};

class sdk_error {
  public:
    static sdk_error session_not_found(std::string what);
    static sdk_error parse(parse_error e);
    static sdk_error invalid_jsonl(std::uint64_t line, std::string message);
    static sdk_error empty_file();
    static sdk_error execution(execution_error e);
    static sdk_error io(io_error e);
    static sdk_error json(std::string description);

    [[nodiscard]] error_kind kind() const { return kind_; }
    [[nodiscard]] const parse_error* as_parse() const {
        return std::get_if<parse_error>(&payload_);
    }
    [[nodiscard]] const io_error* as_io() const { return std::get_if<io_error>(&payload_); }
    // The text of the kinds that carry only a text (session_not_found, json).
    [[nodiscard]] const std::string* as_text() const { return std::get_if<std::string>(&payload_); }
    [[nodiscard]] const execution_error* as_execution() const {
        return std::get_if<execution_error>(&payload_);
    }
    // The full message: the kind's prefix followed by the payload's text.
    [[nodiscard]] std::string render() const;

  private:
    sdk_error(error_kind kind, std::variant<std::string, parse_error, execution_error, io_error> p)
        : kind_(kind), payload_(std::move(p)) {}
    error_kind kind_;
    std::variant<std::string, parse_error, execution_error, io_error> payload_;
};

// Shortest decimal rendering of a duration with its unit: 30s, 1.5s, 250ms, 10µs, 5ns.
std::string format_duration(std::chrono::nanoseconds d);

// A value or an sdk_error; the core's fallible operations return one of these.
template <class T>
class [[nodiscard]] result {
  public:
    result(T value) : v_(std::in_place_index<0>, std::move(value)) {}
    result(sdk_error error) : v_(std::in_place_index<1>, std::move(error)) {}

    [[nodiscard]] bool ok() const { return v_.index() == 0; }
    explicit operator bool() const { return ok(); }
    T& value() & { return std::get<0>(v_); }
    const T& value() const& { return std::get<0>(v_); }
    T&& value() && { return std::get<0>(std::move(v_)); }
    const sdk_error& error() const { return std::get<1>(v_); }

  private:
    std::variant<T, sdk_error> v_;
};

// The outcome of an operation that yields nothing but may fail.
template <>
class [[nodiscard]] result<void> {
  public:
    result() = default;
    result(sdk_error error) : error_(std::move(error)) {}

    [[nodiscard]] bool ok() const { return !error_; }
    explicit operator bool() const { return ok(); }
    const sdk_error& error() const { return *error_; }

  private:
    std::optional<sdk_error> error_;
};

// Makes the C++ runtime set up this thread's exception state now. It lives in a library loaded
// after start-up, so it is allocated on first use; if that allocation fails the C library ends
// the process ("cannot allocate memory for thread-local data"). A std::bad_alloc is thrown
// exactly when memory has run out, so its thread must have done this before. Cheap after the
// first call on a thread.
void reserve_exception_state() noexcept;

}  // namespace kestro
