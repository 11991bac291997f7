#include "platform/kernel/fiber.h"

#include <sys/mman.h>

#include <cstdint>
#include <cstdlib>

// The sanitizers are told of every switch: AddressSanitizer of the stack
// that runs, ThreadSanitizer of the fiber.
#if defined(__SANITIZE_ADDRESS__)
#define KERNEL_FIBER_ASAN 1
#elif defined(__SANITIZE_THREAD__)
#define KERNEL_FIBER_TSAN 1
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
#define KERNEL_FIBER_ASAN 1
#elif __has_feature(thread_sanitizer)
#define KERNEL_FIBER_TSAN 1
#endif
#endif
#ifdef KERNEL_FIBER_ASAN
#include <sanitizer/asan_interface.h>
#include <sanitizer/common_interface_defs.h>
#endif
#ifdef KERNEL_FIBER_TSAN
#include <sanitizer/tsan_interface.h>
#endif

// Saves the callee-saved registers on the running stack and its stack
// pointer in *save, then takes the stack at `load` and returns into whatever
// saved it there (or into the entry a new stack was given).
extern "C" void kernel_fiber_switch(void** save, void* load);

// The function's name and type around each architecture's body.
#define KERNEL_FIBER_SWITCH(body)                                                                       \
  asm(".text\n.globl kernel_fiber_switch\n.hidden kernel_fiber_switch\n"                              \
      ".type kernel_fiber_switch, @function\nkernel_fiber_switch:\n" body                             \
      ".size kernel_fiber_switch, .-kernel_fiber_switch\n")

#if defined(__x86_64__)
KERNEL_FIBER_SWITCH(R"(
  pushq %rbp
  pushq %rbx
  pushq %r12
  pushq %r13
  pushq %r14
  pushq %r15
  movq %rsp, (%rdi)
  movq %rsi, %rsp
  popq %r15
  popq %r14
  popq %r13
  popq %r12
  popq %rbx
  popq %rbp
  ret
)");
constexpr int kSavedRegisters = 6;
#elif defined(__i386__)
KERNEL_FIBER_SWITCH(R"(
  movl 4(%esp), %eax
  movl 8(%esp), %edx
  pushl %ebp
  pushl %ebx
  pushl %esi
  pushl %edi
  movl %esp, (%eax)
  movl %edx, %esp
  popl %edi
  popl %esi
  popl %ebx
  popl %ebp
  ret
)");
constexpr int kSavedRegisters = 4;
#else
#error "fibers switch stacks on x86-64 and x86 only"
#endif

namespace kernel::detail {
namespace {

// Instrumented frames are large: room for deep driver calls under the sanitizers.
constexpr std::size_t kStackSize = std::size_t{2} << 20;
constexpr std::size_t kGuardSize = 4096;  // unmapped below the stack: an overflow faults

// The fiber a switch goes to (for its first run) and the one it leaves.
thread_local Fiber* t_entering = nullptr;
thread_local Fiber* t_leaving = nullptr;

}  // namespace

Fiber::~Fiber() {
  if (stack_ != nullptr) munmap(static_cast<char*>(stack_) - kGuardSize, kStackSize + kGuardSize);
#ifdef KERNEL_FIBER_TSAN
  if (tsan_ != nullptr && stack_ != nullptr) __tsan_destroy_fiber(tsan_);
#endif
}

void Fiber::Start(std::function<void()> body) {
  if (stack_ == nullptr) {
    void* memory = mmap(nullptr, kStackSize + kGuardSize, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    if (memory == MAP_FAILED || mprotect(memory, kGuardSize, PROT_NONE) != 0) std::abort();
    stack_ = static_cast<char*>(memory) + kGuardSize;
  }
#ifdef KERNEL_FIBER_ASAN
  // A fiber that left in the middle of a call left its frames' redzones behind.
  ASAN_UNPOISON_MEMORY_REGION(stack_, kStackSize);
#endif
#ifdef KERNEL_FIBER_TSAN
  if (tsan_ == nullptr) tsan_ = __tsan_create_fiber(0);
#endif
  body_ = std::move(body);
  bottom_ = stack_;
  size_ = kStackSize;
  fakeStack_ = nullptr;
  // The first switch pops the registers and "returns" into Enter with the
  // stack aligned as after a call; Enter never returns to the null above it.
  auto slot = reinterpret_cast<void**>(static_cast<char*>(stack_) + kStackSize);
  *--slot = nullptr;
  *--slot = reinterpret_cast<void*>(&Fiber::Enter);
  for (int i = 0; i < kSavedRegisters; ++i) *--slot = nullptr;
  sp_ = slot;
}

// ThreadSanitizer hears of the switch in the function that makes it: it keeps
// a shadow call stack per fiber, and a helper returning after the switch would
// pop its frame off the fiber being entered.
#ifdef KERNEL_FIBER_TSAN
#define KERNEL_FIBER_TSAN_SWITCH(to)                                            \
  do {                                                                          \
    if (tsan_ == nullptr) tsan_ = __tsan_get_current_fiber(); /* the machine's */ \
    __tsan_switch_to_fiber((to).tsan_, 0);                                      \
  } while (false)
#else
#define KERNEL_FIBER_TSAN_SWITCH(to) static_cast<void>(to)
#endif

void Fiber::SwitchTo(Fiber& to) {
  Leaving(to, &fakeStack_);
  KERNEL_FIBER_TSAN_SWITCH(to);
  kernel_fiber_switch(&sp_, to.sp_);
  Resumed();
}

void Fiber::Leave(Fiber& to) {
  Leaving(to, nullptr);
  KERNEL_FIBER_TSAN_SWITCH(to);
  kernel_fiber_switch(&sp_, to.sp_);
  std::abort();  // nothing switches back to a fiber that left
}

void Fiber::Leaving(Fiber& to, void** fakeStack) {
  t_entering = &to;
  t_leaving = this;
#ifdef KERNEL_FIBER_ASAN
  __sanitizer_start_switch_fiber(fakeStack, to.bottom_, to.size_);
#else
  (void)fakeStack;
#endif
}

void Fiber::Enter() {
  Fiber* self = t_entering;
  self->Resumed();
  self->body_();
  std::abort();  // a body ends by leaving, never by returning
}

void Fiber::Resumed() {
#ifdef KERNEL_FIBER_ASAN
  const void* bottom = nullptr;
  std::size_t size = 0;
  __sanitizer_finish_switch_fiber(fakeStack_, &bottom, &size);
  // The machine thread's own stack is learnt when it is first left.
  if (t_leaving->bottom_ == nullptr) {
    t_leaving->bottom_ = bottom;
    t_leaving->size_ = size;
  }
#endif
}

}  // namespace kernel::detail
