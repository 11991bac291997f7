// pcscd reacts to SIGINT and SIGTERM when the signal interrupts its main
// thread's select(); the handler's threads must not take those signals
// instead. Threads the handler starts (the platform's DPC and worker
// threads, the card control and vicc listeners) are therefore created with
// every signal blocked: they inherit the mask of the thread that creates
// them.
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
