#pragma once

// Inferences in flight, and the gate that process exit closes. An application may
// still infer on other threads while its main returns; exit then destroys the
// static objects of the libraries an inference runs through (OpenCV's thread-local
// storage and parallel pool among them), and a thread still inside them crashes.
// So exit closes the gate first: later inferences are refused with a code, and
// exit waits (a bounded time) for those in flight before anything is destroyed.

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

 private:
  bool _admitted;
};

}  // namespace norvane
