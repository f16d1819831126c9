// Releasing the interpreter lock around pure C++ work.
#pragma once

#include <chrono>
#include <cstddef>
#include <thread>

#include "pyref.hpp"

namespace plindra {

// Below this many elements a kernel finishes in about a microsecond, less
// than handing the lock to another thread and taking it back costs.
inline constexpr std::size_t kReleaseGilElements = 8192;

// Releases the interpreter lock for its lifetime when `release` is true and
// takes it back on every exit, exceptions included (but for interpreter
// shutdown, below). Nothing inside may touch a Python object or reference
// count.
class AllowThreads {
 public:
  explicit AllowThreads(bool release) noexcept : state_(release ? PyEval_SaveThread() : nullptr) {}
  AllowThreads(const AllowThreads&) = delete;
  AllowThreads& operator=(const AllowThreads&) = delete;
  ~AllowThreads() {
    if (state_ == nullptr) return;
    try {
      PyEval_RestoreThread(state_);
    } catch (...) {
      // Once the interpreter is shutting down, a thread that asks for the lock
      // back (a daemon thread still converting) is ended by pthread_exit, which
      // unwinds the stack; through the module's noexcept frames that would
      // abort the process. The thread instead waits here for the process to end.
      for (;;) std::this_thread::sleep_for(std::chrono::hours(1));
    }
  }

 private:
  PyThreadState* state_;
};

}  // namespace plindra
