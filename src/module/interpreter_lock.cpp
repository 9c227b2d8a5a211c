#include "module/interpreter_lock.h"

#include <unistd.h>

#if defined(__GLIBCXX__)
#include <cxxabi.h>
#endif

// CPython 3.13 no longer exports this function (Py_IsFinalizing replaced
// it); a weak reference lets a module built for 3.12 load there and refuse
// the import with its own version check. It is only called on 3.12.
#if PY_VERSION_HEX < 0x030D0000
#pragma weak _Py_IsFinalizing
#endif

namespace rerozer {

namespace {

// Whether a thread must not take the lock back: the interpreter finalises,
// and the thread is not the one that finalises it (the main thread, which
// may still run Python code that calls a sampler).
bool must_park(bool main_thread) {
#if PY_VERSION_HEX >= 0x030D0000
  const bool finalizing = Py_IsFinalizing() != 0;
#else
  const bool finalizing = _Py_IsFinalizing() != 0;
#endif
  return finalizing && !main_thread;
}

}  // namespace

void park_thread() {
  for (;;) pause();
}

void take_interpreter_lock(PyThreadState* state, bool main_thread) {
  if (must_park(main_thread)) park_thread();
  // Finalisation may begin between the check and the take: CPython then
  // ends the thread from inside PyEval_RestoreThread, after it has let the
  // lock go, by a forced unwind that stops here.
#if defined(__GLIBCXX__)
  try {
    PyEval_RestoreThread(state);
  } catch (abi::__forced_unwind&) {
    park_thread();
  }
#else
  PyEval_RestoreThread(state);
#endif
}

}  // namespace rerozer
