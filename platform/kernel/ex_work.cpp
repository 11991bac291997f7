// System work items: a critical queue served by two worker threads and a
// delayed queue served by one, all at PASSIVE_LEVEL.
#include "platform/kernel/scheduler.h"

using kernel::detail::TheScheduler;

namespace kernel::detail {
namespace {

// The list entry of a queued item carries this mark, so that queueing the
// same item twice is caught.
LIST_ENTRY* const kQueuedMark = reinterpret_cast<LIST_ENTRY*>(1);

struct WorkQueue {
  const char* name;
  int workers;
  std::deque<WORK_QUEUE_ITEM*> items;  // under the scheduler lock
  KEVENT wake;
  std::vector<std::shared_ptr<WakeSignal>> ended;  // one per worker
};

struct WorkState {
  WorkQueue queues[2] = {{"critical worker", 2, {}, {}, {}}, {"delayed worker", 1, {}, {}, {}}};
  bool stopping = false;
};

WorkState& State() {
  static WorkState state;
  return state;
}

void WorkerMain(WorkQueue* queue) {
  Scheduler& s = TheScheduler();
  std::unique_lock<std::mutex> held(s.lock);
  while (!State().stopping) {
    if (queue->items.empty()) {
      s.WaitLocked(held, &queue->wake.Header, kNoDeadline);
      continue;
    }
    WORK_QUEUE_ITEM* item = queue->items.front();
    queue->items.pop_front();
    item->List.Flink = nullptr;
    const PWORKER_THREAD_ROUTINE routine = item->WorkerRoutine;
    PVOID parameter = item->Parameter;
    held.unlock();
    routine(parameter);
    if (KeGetCurrentIrql() != PASSIVE_LEVEL) {
      kernel::verifier::Fail("a work item routine returned at an IRQL above PASSIVE_LEVEL");
      CurrentThread()->Irql = PASSIVE_LEVEL;
    }
    held.lock();
  }
}

}  // namespace

void ForgetWorkItemsInBlockLocked(const void* start, SIZE_T size, std::string* what) {
  auto b = reinterpret_cast<ULONG_PTR>(start);
  for (WorkQueue& q : State().queues) {
    for (auto it = q.items.begin(); it != q.items.end();) {
      auto a = reinterpret_cast<ULONG_PTR>(*it);
      if (a >= b && a < b + size) {
        *what = "a queued work item";
        it = q.items.erase(it);
      } else {
        ++it;
      }
    }
  }
}

std::string WorkItemsLeftLocked() {
  for (const WorkQueue& q : State().queues) {
    if (!q.items.empty()) return " a queued work item;";
  }
  return "";
}

void ResetWorkQueuesLocked() {
  for (WorkQueue& q : State().queues) {
    for (WORK_QUEUE_ITEM* item : q.items) item->List.Flink = nullptr;
    q.items.clear();
  }
}

void StartWorkerThreads() {
  WorkState& w = State();
  {
    std::lock_guard<std::mutex> guard(TheScheduler().lock);
    w.stopping = false;
  }
  for (WorkQueue& q : w.queues) {
    KeInitializeEvent(&q.wake, SynchronizationEvent, FALSE);
    for (int i = 0; i < q.workers; ++i) {
      q.ended.push_back(std::make_shared<WakeSignal>());
      LaunchThread(q.name, true, [queue = &q] { WorkerMain(queue); }, q.ended.back());
    }
  }
}

void StopWorkerThreads() {
  WorkState& w = State();
  {
    std::lock_guard<std::mutex> guard(TheScheduler().lock);
    w.stopping = true;
    for (WorkQueue& q : w.queues) {
      // Every worker of the queue must see the stop.
      for (int i = 0; i < q.workers; ++i) TheScheduler().SignalLocked(&q.wake.Header);
      q.wake.Header.SignalState = 1;
    }
  }
  for (WorkQueue& q : w.queues) {
    for (const auto& ended : q.ended) AwaitEnd(*ended);
    q.ended.clear();
  }
  std::lock_guard<std::mutex> guard(TheScheduler().lock);
  ResetWorkQueuesLocked();
}

}  // namespace kernel::detail

void ExQueueWorkItem(PWORK_QUEUE_ITEM WorkItem, WORK_QUEUE_TYPE QueueType) {
  using kernel::detail::State;
  kernel::detail::Scheduler& s = TheScheduler();
  std::lock_guard<std::mutex> guard(s.lock);
  if (WorkItem->List.Flink == kernel::detail::kQueuedMark) {
    kernel::verifier::Fail("ExQueueWorkItem: the work item is already queued");
    return;
  }
  kernel::detail::WorkQueue& q = State().queues[QueueType == DelayedWorkQueue ? 1 : 0];
  WorkItem->List.Flink = kernel::detail::kQueuedMark;
  q.items.push_back(WorkItem);
  s.SignalLocked(&q.wake.Header);
}
