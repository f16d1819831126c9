// Releasing the interpreter lock around pure C++ work.
#pragma once

#include <cstddef>

#include "pyref.hpp"

namespace plindra {

// Below this many elements a kernel finishes in about a microsecond, less
// than handing the lock to another thread and taking it back costs.
inline constexpr std::size_t kReleaseGilElements = 8192;

// Releases the interpreter lock for its lifetime when `release` is true and
// takes it back on every exit, exceptions included. Nothing inside may touch
// a Python object or reference count.
class AllowThreads {
 public:
  explicit AllowThreads(bool release) noexcept : state_(release ? PyEval_SaveThread() : nullptr) {}
  AllowThreads(const AllowThreads&) = delete;
  AllowThreads& operator=(const AllowThreads&) = delete;
  ~AllowThreads() {
    if (state_ != nullptr) PyEval_RestoreThread(state_);
  }

 private:
  PyThreadState* state_;
};

}  // namespace plindra
