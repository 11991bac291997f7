// Fibers: stacks of their own that one machine thread runs in turn,
// switched without the operating system. The threads of the one-at-a-time
// scheduling are fibers of the machine thread that runs the platform, so a
// hand-off from one to the next costs a few instructions instead of two
// system calls and a switch of the machine's threads. x86-64 and x86.
#pragma once

#include <cstddef>
#include <functional>

namespace kernel::detail {

class Fiber {
 public:
  // The running machine thread's own stack, until Start gives it one.
  Fiber() = default;
  ~Fiber();
  Fiber(const Fiber&) = delete;
  Fiber& operator=(const Fiber&) = delete;

  // Makes this fiber run `body` on a stack of its own (kept for the next
  // Start) from the first switch to it. The body never returns: it ends by
  // leaving for good.
  void Start(std::function<void()> body);
  // Runs `to` from this fiber, the running one, until a fiber switches back.
  void SwitchTo(Fiber& to);
  // Runs `to` from this fiber, the running one, never to come back (until a
  // Start makes it new).
  [[noreturn]] void Leave(Fiber& to);

 private:
  [[noreturn]] static void Enter();
  void Leaving(Fiber& to, void** fakeStack);
  void Resumed();

  void* sp_ = nullptr;  // saved stack pointer while another fiber runs
  void* stack_ = nullptr;
  std::function<void()> body_;
  // AddressSanitizer's view of the stack: where it is, and its fake frames while suspended.
  const void* bottom_ = nullptr;
  std::size_t size_ = 0;
  void* fakeStack_ = nullptr;
  [[maybe_unused]] void* tsan_ = nullptr;  // ThreadSanitizer's fiber
};

}  // namespace kernel::detail
