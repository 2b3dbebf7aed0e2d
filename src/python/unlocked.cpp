// Releasing the interpreter lock, and running the signal handlers from native work.
#include "python/unlocked.hpp"

namespace kestro::py {

namespace {

// Short enough that Ctrl-C ends a call well within a tenth of a second; long enough that taking
// the lock back, which waits for another busy Python thread to let go, stays rare.
constexpr std::chrono::milliseconds check_interval{20};

}  // namespace

unlocked::unlocked() noexcept
    : saved_(PyEval_SaveThread()), next_check_(std::chrono::steady_clock::now()) {}

unlocked::~unlocked() {
    PyEval_RestoreThread(saved_);
}

bool unlocked::interrupted() {
    if (interrupted_) return true;
    const auto now = std::chrono::steady_clock::now();
    if (now < next_check_) return false;
    PyEval_RestoreThread(saved_);
    interrupted_ = PyErr_CheckSignals() != 0;
    saved_ = PyEval_SaveThread();
    next_check_ = std::chrono::steady_clock::now() + check_interval;
    return interrupted_;
}

}  // namespace kestro::py
