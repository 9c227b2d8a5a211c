#ifndef REROZER_MODULE_INTERPRETER_LOCK_H_
#define REROZER_MODULE_INTERPRETER_LOCK_H_

#include "module/python.h"

namespace rerozer {

// Releasing the interpreter lock and taking it back, safely while the
// interpreter finalises.
//
// Once finalisation has begun, CPython ends any other thread that tries to
// take the lock back by unwinding its stack (pthread_exit). That unwind
// would pass noexcept frames of a call (a destructor that takes the lock
// back), and the C++ runtime would abort the process; unwinding the other
// frames would also drop Python references without the lock. So a thread
// that meets finalisation here parks for good instead: it sleeps, holding
// nothing the interpreter needs, until the process exits. The thread that
// finalises (the main thread) is never parked.

// Sleeps in this thread until the process ends. Never returns.
[[noreturn]] void park_thread();

// Takes the interpreter lock back for `state`, which released it, or parks
// the thread when the interpreter finalises and `main_thread` is false.
// `main_thread` says whether the thread is the interpreter's main thread
// (_PyOS_IsMainThread(), which needs the lock, so it is asked before the
// lock is released).
void take_interpreter_lock(PyThreadState* state, bool main_thread);

// Releases the interpreter lock for its scope and takes it back through
// take_interpreter_lock, also while an exception unwinds the scope. Nothing
// inside the scope may touch a Python object.
class LockReleased {
 public:
  LockReleased() : main_thread_(_PyOS_IsMainThread() != 0), state_(PyEval_SaveThread()) {}
  ~LockReleased() { take_interpreter_lock(state_, main_thread_); }
  LockReleased(const LockReleased&) = delete;
  LockReleased& operator=(const LockReleased&) = delete;

 private:
  bool main_thread_;
  PyThreadState* state_;
};

// Takes the interpreter lock for its scope, inside a scope of LockReleased
// on the same thread, and releases it again at its end. `main_thread` as for
// take_interpreter_lock.
class LockRetaken {
 public:
  explicit LockRetaken(bool main_thread) : state_(PyGILState_GetThisThreadState()) {
    take_interpreter_lock(state_, main_thread);
  }
  ~LockRetaken() { PyEval_SaveThread(); }
  LockRetaken(const LockRetaken&) = delete;
  LockRetaken& operator=(const LockRetaken&) = delete;

 private:
  PyThreadState* state_;
};

}  // namespace rerozer

#endif  // REROZER_MODULE_INTERPRETER_LOCK_H_
