// One complete life of the driver with a reader, from DriverEntry to unload,
// scripted step by step as the I/O, Plug and Play, power and resource
// managers drive it, in simulated time and on a platform of its own. One
// fault can be injected at a numbered point: an allocation, a bulk
// transfer, the reader going silent from a request frame on, or the reader
// leaving the bus before a request frame. Every step's status and data are
// kept, and what the run left behind is measured after unload. A fresh
// driver with a fresh reader is then brought up and must carry a transmit.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "tests/fixture/driver_session.h"

namespace faultstest {

enum class FaultKind {
  None,
  Allocation,       // the nth pool allocation from load on fails
  Transfer,         // the nth bulk transfer fails (stall)
  Silence,          // the reader answers nothing from its nth request frame on
  SurpriseRemoval,  // the reader leaves the bus before its nth request frame
};

struct Fault {
  FaultKind kind = FaultKind::None;
  std::uint32_t at = 0;  // 1 = the first
};

struct Step {
  std::string name;
  NTSTATUS status = STATUS_PENDING;
  std::vector<std::uint8_t> output;
  bool carriesData = false;  // a success must bring the same bytes as in a clean run
};

struct LifecycleOutcome {
  std::vector<Step> steps;
  bool injected = false;  // the numbered point came
  // What the lifecycle used, counted from load to unload.
  std::uint32_t allocations = 0;
  std::uint32_t frames = 0;  // request frames the reader took
  readertest::Leftovers left;  // bulk transfers counted there
  std::vector<std::string> verifierMessages;
  // The fresh device afterwards.
  NTSTATUS freshTransmit = STATUS_PENDING;
  std::vector<std::uint8_t> freshResponse;
  std::uint32_t freshLiveBlocks = 0;
};

LifecycleOutcome RunLifecycle(const Fault& fault);

}  // namespace faultstest
