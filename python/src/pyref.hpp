// Thin RAII layer over CPython references.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <cassert>
#include <utility>

// Debug builds check that the calling thread holds the GIL wherever a
// reference count changes: a change made while the GIL is released (around a
// kernel run, say) races with every other thread.
#ifdef NDEBUG
#define PLINDRA_ASSERT_GIL() ((void)0)
#else
#define PLINDRA_ASSERT_GIL() assert(PyGILState_Check() && "reference changed without the GIL")
#endif

namespace plindra::py {

// Owns one strong reference (or none). Move-only; releases on destruction.
class Ref {
 public:
  Ref() noexcept = default;
  Ref(const Ref&) = delete;
  Ref& operator=(const Ref&) = delete;
  Ref(Ref&& other) noexcept : obj_(std::exchange(other.obj_, nullptr)) {}
  // The old object is released only once the new one is in place: releasing
  // it may run a finaliser, which must find this Ref valid.
  Ref& operator=(Ref&& other) noexcept {
    if (this != &other) {
      PyObject* old = std::exchange(obj_, std::exchange(other.obj_, nullptr));
      if (old != nullptr) {
        PLINDRA_ASSERT_GIL();
        Py_DECREF(old);
      }
    }
    return *this;
  }
  ~Ref() {
    if (obj_ != nullptr) {
      PLINDRA_ASSERT_GIL();
      Py_DECREF(obj_);
    }
  }

  // Takes over a new reference (as returned by most C-API calls); may be null.
  static Ref steal(PyObject* obj) noexcept { return Ref(obj); }
  // Adds a reference to a borrowed object.
  static Ref borrow(PyObject* obj) noexcept {
    if (obj != nullptr) {
      PLINDRA_ASSERT_GIL();
      Py_INCREF(obj);
    }
    return Ref(obj);
  }

  PyObject* get() const noexcept { return obj_; }
  explicit operator bool() const noexcept { return obj_ != nullptr; }
  // Hands the reference to the caller.
  [[nodiscard]] PyObject* release() noexcept { return std::exchange(obj_, nullptr); }

 private:
  explicit Ref(PyObject* obj) noexcept : obj_(obj) {}
  PyObject* obj_ = nullptr;
};

// Holds one strong reference for the life of the process (module-level
// caches). It is never released: at static destruction the interpreter may
// already be gone, and the objects it holds must outlive every call anyway.
class PinnedRef {
 public:
  constexpr PinnedRef() noexcept = default;
  PinnedRef(const PinnedRef&) = delete;
  PinnedRef& operator=(const PinnedRef&) = delete;

  PyObject* get() const noexcept { return obj_; }
  explicit operator bool() const noexcept { return obj_ != nullptr; }
  // Takes over `ref` if nothing is held yet; otherwise `ref` is released.
  // The GIL also guards the cache itself: two threads filling it at once
  // would each see it empty.
  void set_once(Ref ref) noexcept {
    PLINDRA_ASSERT_GIL();
    if (obj_ == nullptr) obj_ = ref.release();
  }

 private:
  PyObject* obj_ = nullptr;
};

}  // namespace plindra::py
