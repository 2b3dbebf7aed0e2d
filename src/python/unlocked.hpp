// The interpreter lock released for native work, and Ctrl-C noticed while it is.
#pragma once

#include <Python.h>

#include <chrono>
#include <functional>

namespace kestro::py {

// Releases the interpreter lock for its lifetime (it is taken back on destruction, also when an
// exception leaves the scope). Nothing inside the scope may touch a Python object, except
// through `interrupted`.
//
//     unlocked nolock;
//     auto parsed = parse_session_file(path, warn, {.cancelled = nolock.check()});
//     ...
//     if (nolock.was_interrupted()) return nullptr;   // after the scope: KeyboardInterrupt is set
class unlocked {
  public:
    unlocked() noexcept;
    ~unlocked();
    unlocked(const unlocked&) = delete;
    unlocked& operator=(const unlocked&) = delete;

    // Whether a signal handler has raised (Ctrl-C: KeyboardInterrupt). At most every few
    // milliseconds it takes the lock back briefly to run the handlers, which the interpreter
    // runs only on its main thread; in between it answers from the clock alone, so it can be
    // polled per block of input. Once true, stays true; the exception stays set for the caller.
    // Only for the thread that made this object.
    bool interrupted();

    // `interrupted` as the core's cancellation check; valid while this object lives.
    [[nodiscard]] std::function<bool()> check() {
        return [this] { return interrupted(); };
    }

    [[nodiscard]] bool was_interrupted() const { return interrupted_; }

  private:
    PyThreadState* saved_;
    std::chrono::steady_clock::time_point next_check_;
    bool interrupted_ = false;
};

}  // namespace kestro::py
