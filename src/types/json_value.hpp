// The generic JSON value: null, boolean, three number forms, string, array, sorted object.
#pragma once

#include <cstdint>
#include <string>
#include <utility>
#include <variant>
#include <vector>

namespace kestro {

class json_value {
  public:
    using array = std::vector<json_value>;
    // Members in ascending byte order of their keys, each key once.
    using object = std::vector<std::pair<std::string, json_value>>;
    using storage = std::variant<std::nullptr_t, bool, std::uint64_t, std::int64_t, double,
                                 std::string, array, object>;

    json_value() : v_(nullptr) {}
    explicit json_value(storage v) : v_(std::move(v)) {}

    [[nodiscard]] const storage& get() const { return v_; }
    [[nodiscard]] storage& get() { return v_; }
    [[nodiscard]] bool is_null() const { return std::holds_alternative<std::nullptr_t>(v_); }

    // Builds an object from members in any order: sorts by key bytes, keeps the last of
    // repeated keys (stable with respect to the input order).
    static json_value make_object(object members);

    friend bool operator==(const json_value&, const json_value&) = default;

  private:
    storage v_;
};

}  // namespace kestro
