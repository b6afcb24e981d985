// Owned reference to a Python object; a null Ref means a Python error is set.
#pragma once
#include <Python.h>
#include <utility>

namespace frame {

class Ref {
 public:
  Ref() noexcept = default;
  static Ref steal(PyObject* p) noexcept { return Ref(p); }
  static Ref borrow(PyObject* p) noexcept {
    Py_XINCREF(p);
    return Ref(p);
  }
  Ref(Ref&& other) noexcept : p_(other.p_) { other.p_ = nullptr; }
  Ref& operator=(Ref&& other) noexcept {
    if (this != &other) {
      PyObject* old = p_;
      p_ = other.p_;
      other.p_ = nullptr;
      Py_XDECREF(old);
    }
    return *this;
  }
  Ref(const Ref&) = delete;
  Ref& operator=(const Ref&) = delete;
  ~Ref() { Py_XDECREF(p_); }

  PyObject* get() const noexcept { return p_; }
  PyObject* release() noexcept { return std::exchange(p_, nullptr); }
  explicit operator bool() const noexcept { return p_ != nullptr; }

 private:
  explicit Ref(PyObject* p) noexcept : p_(p) {}
  PyObject* p_ = nullptr;
};

// The failed result of whatever a helper returns (null object, empty Ref, false), for
// `return failed;` once a Python error is set.
struct [[nodiscard]] Failed {
  operator PyObject*() const noexcept { return nullptr; }
  operator Ref() const noexcept { return Ref(); }
  operator bool() const noexcept { return false; }
};
inline constexpr Failed failed{};

}  // namespace frame
