// pcscd reacts to SIGINT and SIGTERM only when the signal interrupts its
// main thread's select(); a signal the kernel hands to one of the handler's
// threads instead leaves pcscd running for ever. Threads the handler starts
// (the platform's DPC and worker threads, the card control listener) are
// therefore created with every signal blocked: they inherit the mask of the
// thread that creates them.
#pragma once

#include <csignal>

namespace ifd {

class SignalsBlocked {
 public:
  SignalsBlocked();
  ~SignalsBlocked();
  SignalsBlocked(const SignalsBlocked&) = delete;
  SignalsBlocked& operator=(const SignalsBlocked&) = delete;

 private:
  sigset_t previous_;
};

}  // namespace ifd
