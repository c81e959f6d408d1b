// The access flag every Quarn and Session object carries. Calls run one at a time under the
// interpreter lock, so the only way two calls overlap is a Python callback (an __index__ or
// __float__ run while an argument is converted) re-entering the object. Such a call is refused:
// an exclusive call while anything holds the object fails with "Already borrowed", a shared call
// while an exclusive one holds it with "Already mutably borrowed", both RuntimeError.
#pragma once

#include <utility>

#include "lib/py.h"

namespace quarn::lib {

// 0 free, n > 0 held by n shared calls, -1 held by one exclusive call.
using BorrowFlag = int;

class Borrow {
 public:
  // Check `ok()` (or convert to bool): when refused, the RuntimeError is already set.
  static Borrow exclusive(BorrowFlag& flag) {
    if (flag != 0) {
      PyErr_SetString(PyExc_RuntimeError, "Already borrowed");
      return Borrow(nullptr, 0);
    }
    flag = -1;
    return Borrow(&flag, -1);
  }
  static Borrow shared(BorrowFlag& flag) {
    if (flag < 0) {
      PyErr_SetString(PyExc_RuntimeError, "Already mutably borrowed");
      return Borrow(nullptr, 0);
    }
    ++flag;
    return Borrow(&flag, 1);
  }

  Borrow(Borrow&& other) noexcept
      : flag_(std::exchange(other.flag_, nullptr)), taken_(other.taken_) {}
  Borrow(const Borrow&) = delete;
  Borrow& operator=(const Borrow&) = delete;
  Borrow& operator=(Borrow&&) = delete;
  ~Borrow() {
    if (flag_ != nullptr) *flag_ = (taken_ < 0) ? 0 : *flag_ - 1;
  }

  bool ok() const { return flag_ != nullptr; }
  explicit operator bool() const { return ok(); }

 private:
  Borrow(BorrowFlag* flag, int taken) : flag_(flag), taken_(taken) {}
  BorrowFlag* flag_;
  int taken_;
};

}  // namespace quarn::lib
