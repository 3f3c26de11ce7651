#pragma once

// Inferences in flight, and the gate that process exit closes. An application may
// still infer on other threads while its main returns; exit then destroys the
// static objects of the libraries an inference runs through (OpenCV's thread-local
// storage and parallel pool among them), and a thread still inside them crashes.
// So exit closes the gate first: later inferences are refused with a code, and
// exit waits (a bounded time) for those in flight before anything is destroyed.
// quick_exit does the same before the statistics are saved. A model's load holds
// a pass too: exit waits for it, or refuses it before it starts.
// fork takes the gate as well: new passes wait, and the fork waits (a bounded
// time) for those in flight, so the child inherits no network half-run and no
// library lock that a pass held. The child starts with an empty gate.

namespace norvane {

// Scoped admission of one inference; nests. Thread-safe.
class InferencePass {
 public:
  InferencePass();
  ~InferencePass();
  InferencePass(const InferencePass&) = delete;
  InferencePass& operator=(const InferencePass&) = delete;

  // False once the process is exiting: the caller returns NV_ERR_RUNTIME
  // without touching the runtime.
  bool admitted() const { return _admitted; }

  // Registers (again, up to a bound per process) the handlers that close the gate
  // at exit and quick_exit.
  // Exit runs handlers and destroys static objects in reverse order of their
  // registration, so call this after a run that made the libraries build what
  // they build on first use (each registering its destruction): the gate then
  // closes before any of it is destroyed. The first inference of the process
  // registers them as it starts and again as it ends. Thread-safe.
  static void close_at_exit();

  // Around fork, called by the library's fork handlers (first of its locks
  // before, last after). Not for other callers.
  static void prepare_fork();
  static void after_fork_parent();
  static void after_fork_child();

 private:
  bool _admitted;
};

}  // namespace norvane
