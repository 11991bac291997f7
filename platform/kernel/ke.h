// Kernel services: IRQL, spin locks, dispatcher objects (events, timers),
// DPCs, waits, delays, stalls, the system time and interlocked operations.
// Records keep the platform's layout on both targets; the stand-in keeps its
// own bookkeeping beside them.
#pragma once

#include "platform/kernel/ntdef.h"
#include "platform/kernel/ntstatus.h"

using KIRQL = UCHAR;
using PKIRQL = KIRQL*;
constexpr KIRQL PASSIVE_LEVEL = 0;
constexpr KIRQL APC_LEVEL = 1;
constexpr KIRQL DISPATCH_LEVEL = 2;
constexpr KIRQL HIGH_LEVEL = 15;

using KSPIN_LOCK = ULONG_PTR;
using PKSPIN_LOCK = KSPIN_LOCK*;

enum KPROCESSOR_MODE : CCHAR { KernelMode = 0, UserMode = 1 };
enum KWAIT_REASON { Executive = 0, Suspended = 5, UserRequest = 6 };
enum EVENT_TYPE { NotificationEvent = 0, SynchronizationEvent = 1 };
enum TIMER_TYPE { NotificationTimer = 0, SynchronizationTimer = 1 };
enum KDPC_IMPORTANCE { LowImportance, MediumImportance, HighImportance };

constexpr KPRIORITY IO_NO_INCREMENT = 0;

struct DISPATCHER_HEADER {
  UCHAR Type;
  UCHAR Absolute;
  UCHAR Size;
  UCHAR Inserted;
  volatile LONG SignalState;
  LIST_ENTRY WaitListHead;
};

struct KEVENT {
  DISPATCHER_HEADER Header;
};
using PKEVENT = KEVENT*;
using PRKEVENT = KEVENT*;

struct KDPC;
using PKDPC = KDPC*;
using PKDEFERRED_ROUTINE = void (NTAPI *)(KDPC* Dpc, PVOID DeferredContext, PVOID SystemArgument1,
                                    PVOID SystemArgument2);

struct KDPC {
  UCHAR Type;
  UCHAR Importance;
  volatile USHORT Number;
  LIST_ENTRY DpcListEntry;
  PKDEFERRED_ROUTINE DeferredRoutine;
  PVOID DeferredContext;
  PVOID SystemArgument1;
  PVOID SystemArgument2;
  volatile PVOID DpcData;  // non-null while queued
};
using PRKDPC = KDPC*;

struct KTIMER {
  DISPATCHER_HEADER Header;
  ULARGE_INTEGER DueTime;
  LIST_ENTRY TimerListEntry;
  KDPC* Dpc;
#if defined(__x86_64__)
  ULONG Processor;
#endif
  LONG Period;
};
using PKTIMER = KTIMER*;

// The thread record is the stand-in's own; drivers only compare pointers.
struct KTHREAD;
using PKTHREAD = KTHREAD*;
using PETHREAD = KTHREAD*;
using PRKTHREAD = KTHREAD*;

// A mutex object. The stand-in makes no mutex calls; records carry it.
struct KMUTANT {
  DISPATCHER_HEADER Header;
  LIST_ENTRY MutantListEntry;
  PKTHREAD OwnerThread;
  BOOLEAN Abandoned;
  UCHAR ApcDisable;
};
using KMUTEX = KMUTANT;
using PKMUTEX = KMUTEX*;

// IRQL of the calling thread.
KIRQL KeGetCurrentIrql();
void KeRaiseIrql(KIRQL NewIrql, PKIRQL OldIrql);
void KeLowerIrql(KIRQL NewIrql);

// Spin locks raise to DISPATCH_LEVEL; a wait that could sleep is refused there.
void KeInitializeSpinLock(PKSPIN_LOCK SpinLock);
void KeAcquireSpinLock(PKSPIN_LOCK SpinLock, PKIRQL OldIrql);
void KeReleaseSpinLock(PKSPIN_LOCK SpinLock, KIRQL NewIrql);
void KeAcquireSpinLockAtDpcLevel(PKSPIN_LOCK SpinLock);
void KeReleaseSpinLockFromDpcLevel(PKSPIN_LOCK SpinLock);

void KeInitializeEvent(PRKEVENT Event, EVENT_TYPE Type, BOOLEAN State);
LONG KeSetEvent(PRKEVENT Event, KPRIORITY Increment, BOOLEAN Wait);
void KeClearEvent(PRKEVENT Event);
LONG KeResetEvent(PRKEVENT Event);
LONG KeReadStateEvent(PRKEVENT Event);

// Waits on an event or a timer. Timeout: null waits forever, negative is
// relative, positive absolute system time, zero only tests the state.
NTSTATUS KeWaitForSingleObject(PVOID Object, KWAIT_REASON WaitReason, KPROCESSOR_MODE WaitMode,
                               BOOLEAN Alertable, PLARGE_INTEGER Timeout);
NTSTATUS KeDelayExecutionThread(KPROCESSOR_MODE WaitMode, BOOLEAN Alertable, PLARGE_INTEGER Interval);
void KeStallExecutionProcessor(ULONG MicroSeconds);

// System time in 100-ns units since 1601-01-01.
void KeQuerySystemTime(PLARGE_INTEGER CurrentTime);
PKTHREAD KeGetCurrentThread();

void KeInitializeDpc(PRKDPC Dpc, PKDEFERRED_ROUTINE DeferredRoutine, PVOID DeferredContext);
BOOLEAN KeInsertQueueDpc(PRKDPC Dpc, PVOID SystemArgument1, PVOID SystemArgument2);
BOOLEAN KeRemoveQueueDpc(PRKDPC Dpc);
// Returns once every DPC queued before the call has run.
void KeFlushQueuedDpcs();

void KeInitializeTimer(PKTIMER Timer);
void KeInitializeTimerEx(PKTIMER Timer, TIMER_TYPE Type);
BOOLEAN KeSetTimer(PKTIMER Timer, LARGE_INTEGER DueTime, PKDPC Dpc);
BOOLEAN KeSetTimerEx(PKTIMER Timer, LARGE_INTEGER DueTime, LONG Period, PKDPC Dpc);
BOOLEAN KeCancelTimer(PKTIMER Timer);
BOOLEAN KeReadStateTimer(PKTIMER Timer);

LONG InterlockedIncrement(LONG volatile* Addend);
LONG InterlockedDecrement(LONG volatile* Addend);
LONG InterlockedExchange(LONG volatile* Target, LONG Value);
LONG InterlockedExchangeAdd(LONG volatile* Addend, LONG Value);
LONG InterlockedCompareExchange(LONG volatile* Destination, LONG Exchange, LONG Comparand);
PVOID InterlockedExchangePointer(PVOID volatile* Target, PVOID Value);
PVOID InterlockedCompareExchangePointer(PVOID volatile* Destination, PVOID Exchange, PVOID Comparand);

// Single reads and writes of a flag that several threads share without one
// common lock.
inline UCHAR ReadUCharAcquire(UCHAR const volatile* Source) {
  return __atomic_load_n(const_cast<const UCHAR*>(Source), __ATOMIC_ACQUIRE);
}
inline void WriteUCharRelease(UCHAR volatile* Destination, UCHAR Value) {
  __atomic_store_n(const_cast<UCHAR*>(Destination), Value, __ATOMIC_RELEASE);
}
inline PVOID ReadPointerAcquire(PVOID const volatile* Source) {
  return __atomic_load_n(const_cast<PVOID const*>(Source), __ATOMIC_ACQUIRE);
}
