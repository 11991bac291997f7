// Executive services: non-paged pool with tags, and system work items.
#pragma once

#include "platform/kernel/ke.h"

enum POOL_TYPE { NonPagedPool = 0, PagedPool = 1, NonPagedPoolNx = 512 };

// Pool tags are written as character constants in reverse, so that the tag
// reads forwards in memory: PoolTag("TQM9") has the bytes 'T' 'Q' 'M' '9'.
constexpr ULONG PoolTag(const char (&text)[5]) {
  return static_cast<ULONG>(static_cast<UCHAR>(text[0])) |
         (static_cast<ULONG>(static_cast<UCHAR>(text[1])) << 8) |
         (static_cast<ULONG>(static_cast<UCHAR>(text[2])) << 16) |
         (static_cast<ULONG>(static_cast<UCHAR>(text[3])) << 24);
}

PVOID ExAllocatePoolWithTag(POOL_TYPE PoolType, SIZE_T NumberOfBytes, ULONG Tag);
// A block whose bytes are all zero.
PVOID ExAllocatePoolZero(POOL_TYPE PoolType, SIZE_T NumberOfBytes, ULONG Tag);
void ExFreePool(PVOID P);
void ExFreePoolWithTag(PVOID P, ULONG Tag);

enum WORK_QUEUE_TYPE { CriticalWorkQueue = 0, DelayedWorkQueue = 1, HyperCriticalWorkQueue = 2 };

using PWORKER_THREAD_ROUTINE = void (NTAPI *)(PVOID Parameter);

struct WORK_QUEUE_ITEM {
  LIST_ENTRY List;
  PWORKER_THREAD_ROUTINE WorkerRoutine;
  volatile PVOID Parameter;
};
using PWORK_QUEUE_ITEM = WORK_QUEUE_ITEM*;

inline void ExInitializeWorkItem(PWORK_QUEUE_ITEM Item, PWORKER_THREAD_ROUTINE Routine, PVOID Parameter) {
  Item->WorkerRoutine = Routine;
  Item->Parameter = Parameter;
  Item->List.Flink = nullptr;
}

void ExQueueWorkItem(PWORK_QUEUE_ITEM WorkItem, WORK_QUEUE_TYPE QueueType);
