// Text that most records of a session hold alike, kept once and shared by every holder.
#pragma once

#include <cstddef>
#include <memory>
#include <string>
#include <string_view>

namespace kestro {

// Immutable text whose copies share one buffer: the working directory and the session id
// repeat on every line of a log, and one copy per distinct value saves an allocation per
// record. Reads like a std::string_view; empty when default-constructed.
class shared_text {
  public:
    shared_text() = default;
    explicit shared_text(std::string text)
        : text_(std::make_shared<const std::string>(std::move(text))) {}

    [[nodiscard]] std::string_view view() const {
        return text_ != nullptr ? std::string_view(*text_) : std::string_view();
    }
    // Implicit so that the text is read like the string it stands for.
    operator std::string_view() const { return view(); }  // NOLINT(google-explicit-constructor)
    [[nodiscard]] std::size_t size() const { return view().size(); }
    [[nodiscard]] bool empty() const { return view().empty(); }

    friend bool operator==(const shared_text& a, std::string_view b) { return a.view() == b; }
    friend bool operator==(const shared_text& a, const shared_text& b) {
        return a.view() == b.view();
    }

  private:
    std::shared_ptr<const std::string> text_;
};

}  // namespace kestro
