// The verifier's report channel and the platform's fault injection.
#include <algorithm>
#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <deque>
#include <map>
#include <mutex>

#include "platform/kernel/platform.h"

namespace kernel::verifier {
namespace {

std::mutex g_lock;

Handler& CurrentHandler() {
  static Handler handler;
  return handler;
}

}  // namespace

void Fail(const std::string& message) {
  Handler handler;
  {
    std::lock_guard<std::mutex> guard(g_lock);
    handler = CurrentHandler();
  }
  if (handler) {
    handler(message);
    return;
  }
  std::fprintf(stderr, "KERNEL VERIFIER: %s\n", message.c_str());
  std::fflush(stderr);
  std::abort();
}

struct Capture::State {
  mutable std::mutex lock;
  std::vector<std::string> messages;
};

Capture::Capture() : state_(std::make_shared<State>()) {
  std::lock_guard<std::mutex> guard(g_lock);
  previous_ = CurrentHandler();
  CurrentHandler() = [state = state_](const std::string& message) {
    std::lock_guard<std::mutex> inner(state->lock);
    state->messages.push_back(message);
  };
}

Capture::~Capture() {
  std::lock_guard<std::mutex> guard(g_lock);
  CurrentHandler() = previous_;
}

std::vector<std::string> Capture::Messages() const {
  std::lock_guard<std::mutex> guard(state_->lock);
  return state_->messages;
}

bool Capture::Saw(std::string_view fragment) const {
  std::lock_guard<std::mutex> guard(state_->lock);
  return std::any_of(state_->messages.begin(), state_->messages.end(),
                     [&](const std::string& m) { return m.find(fragment) != std::string::npos; });
}

}  // namespace kernel::verifier

namespace kernel::faults {
namespace {

std::mutex g_lock;
// Failures planned and not yet taken: with none, a fault point costs no lock.
std::atomic<int> g_planned{0};
std::map<std::string, std::deque<NTSTATUS>, std::less<>>& Plans() {
  static std::map<std::string, std::deque<NTSTATUS>, std::less<>> plans;
  return plans;
}

}  // namespace

void FailNext(std::string_view routine, NTSTATUS status, int count) {
  std::lock_guard<std::mutex> guard(g_lock);
  auto& plan = Plans()[std::string(routine)];
  for (int i = 0; i < count; ++i) plan.push_back(status);
  if (count > 0) g_planned += count;
}

bool Take(std::string_view routine, NTSTATUS* status) {
  if (g_planned == 0) return false;
  std::lock_guard<std::mutex> guard(g_lock);
  auto it = Plans().find(routine);
  if (it == Plans().end() || it->second.empty()) return false;
  *status = it->second.front();
  it->second.pop_front();
  g_planned--;
  return true;
}

void Clear() {
  std::lock_guard<std::mutex> guard(g_lock);
  Plans().clear();
  g_planned = 0;
}

}  // namespace kernel::faults
