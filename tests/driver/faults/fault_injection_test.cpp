// Systematic fault injection over a complete lifecycle: a clean run counts
// the points (allocations, bulk transfers, request frames), then the
// lifecycle runs again with each point failing in turn. Whatever fails, the
// caller must see it as an error (a success carries the clean run's data),
// nothing may be left allocated, pending or waiting after unload, and a
// fresh device must work afterwards.
#include <gtest/gtest.h>

#include <iostream>
#include <map>
#include <sstream>

#include "tests/driver/faults/lifecycle.h"

namespace {

using faultstest::Fault;
using faultstest::FaultKind;
using faultstest::LifecycleOutcome;
using faultstest::RunLifecycle;
using faultstest::Step;

const char* KindName(FaultKind kind) {
  static const char* const kNames[] = {"none", "allocation", "transfer", "silence", "surprise removal"};
  return kNames[static_cast<int>(kind)];
}

std::string Hex(NTSTATUS status) {
  std::ostringstream out;
  out << "0x" << std::hex << static_cast<ULONG>(status);
  return out.str();
}

std::string Describe(const LifecycleOutcome& outcome) {
  std::string text;
  for (const Step& step : outcome.steps) text += "  " + step.name + " -> " + Hex(step.status) + "\n";
  return text;
}

// Steps by name and occurrence ("cold reset#2").
std::map<std::string, const Step*> ByName(const LifecycleOutcome& outcome) {
  std::map<std::string, const Step*> steps;
  std::map<std::string, int> seen;
  for (const Step& step : outcome.steps) steps[step.name + "#" + std::to_string(++seen[step.name])] = &step;
  return steps;
}

const Step* Find(const LifecycleOutcome& outcome, const std::string& name) {
  for (const Step& step : outcome.steps) {
    if (step.name == name) return &step;
  }
  return nullptr;
}

void ExpectSound(const LifecycleOutcome& clean, const LifecycleOutcome& run, const Fault& fault) {
  SCOPED_TRACE(std::string(KindName(fault.kind)) + " at " + std::to_string(fault.at) + "\n" +
               Describe(run));
  const auto expected = ByName(clean);
  std::map<std::string, int> seen;
  // After a selection that failed, or that found one made already, commands
  // go in the protocol selected before: their answers are not the clean
  // run's, but must still be complete.
  bool selectionKept = false;
  // A T=1 transmission broken off by a failed transfer may leave the card's
  // block sequence elsewhere than the driver's: later answers must be
  // complete, but may be the card's complaint (known, see the report).
  bool transmissionBroken = false;
  for (const Step& step : run.steps) {
    const std::string key = step.name + "#" + std::to_string(++seen[step.name]);
    const bool selection = step.name.rfind("select", 0) == 0;
    if (selection) selectionKept = step.status != STATUS_SUCCESS || step.output.empty();
    if (step.name.rfind("cold reset", 0) == 0 && step.status == STATUS_SUCCESS) transmissionBroken = false;
    EXPECT_NE(step.status, STATUS_PENDING) << key << " never completed";
    if (NT_SUCCESS(step.status)) {
      EXPECT_EQ(step.status, STATUS_SUCCESS) << key << ": a success status that is not STATUS_SUCCESS";
      const auto same = expected.find(key);
      const bool transmit = step.name.rfind("transmit", 0) == 0;
      const bool comparable =
          !(selection && step.output.empty()) && !(transmit && (selectionKept || transmissionBroken));
      if (step.carriesData && comparable && same != expected.end() && same->second->status == STATUS_SUCCESS) {
        EXPECT_EQ(step.output, same->second->output) << key << " reported success with other data";
      }
      if (transmit) {
        EXPECT_GE(step.output.size(), 10u) << key << ": no status words";
      }
    } else {
      EXPECT_TRUE(step.output.empty()) << key << " failed but returned data";
      if (step.name.rfind("transmit", 0) == 0) transmissionBroken = true;
    }
  }
  EXPECT_TRUE(run.verifierMessages.empty()) << run.verifierMessages.front();
  EXPECT_FALSE(run.left.deviceObjectLeft);
  EXPECT_EQ(run.left.irpsInProgress, 0u);
  EXPECT_EQ(run.left.driverBlocks, 0u);
  EXPECT_EQ(run.left.transferBlocks, 0u);
  EXPECT_EQ(run.left.liveIrps, 0u);
  EXPECT_EQ(run.left.waitingThreads, 0u);
  EXPECT_EQ(run.left.otherBlocks, "");
  EXPECT_EQ(run.freshTransmit, STATUS_SUCCESS);
  const Step* cleanTransmit = Find(clean, "transmit T=1");
  ASSERT_NE(cleanTransmit, nullptr);
  EXPECT_EQ(run.freshResponse, cleanTransmit->output);
  EXPECT_EQ(run.freshLiveBlocks, 0u);
}

const LifecycleOutcome& Clean() {
  static const LifecycleOutcome clean = RunLifecycle(Fault{});
  return clean;
}

std::uint32_t Points(FaultKind kind) {
  switch (kind) {
    case FaultKind::Allocation: return Clean().allocations;
    case FaultKind::Transfer: return Clean().left.transfers;
    case FaultKind::Silence:
    case FaultKind::SurpriseRemoval: return Clean().frames;
    case FaultKind::None: break;
  }
  return 0;
}

// Runs the lifecycle with each point of this kind failing in turn; returns
// how many of the runs reached their point.
std::uint32_t InjectEach(FaultKind kind) {
  const std::uint32_t points = Points(kind);
  std::uint32_t exercised = 0;
  for (std::uint32_t at = 1; at <= points; ++at) {
    const Fault fault{kind, at};
    const LifecycleOutcome run = RunLifecycle(fault);
    if (run.injected) ++exercised;
    ExpectSound(Clean(), run, fault);
    if (::testing::Test::HasFailure()) break;  // one broken run says enough
  }
  std::cout << KindName(kind) << ": " << exercised << " of " << points
            << " injection points exercised\n";
  ::testing::Test::RecordProperty("points", static_cast<int>(exercised));
  return exercised;
}

TEST(FaultInjection, CleanLifecycleSucceedsAtEveryStep) {
  const LifecycleOutcome& clean = Clean();
  for (const Step& step : clean.steps) {
    if (step.name == "state after surprise removal") {
      EXPECT_EQ(step.status, STATUS_DELETE_PENDING);
    } else {
      EXPECT_EQ(step.status, STATUS_SUCCESS) << step.name;
    }
  }
  EXPECT_EQ(clean.steps.size(), 24u) << Describe(clean);
  const Step* chained = Find(clean, "transmit T=1 chained");
  ASSERT_NE(chained, nullptr);
  EXPECT_EQ(chained->output.size(), 8u + 100u + 2u);
  ExpectSound(clean, clean, Fault{});
  EXPECT_GT(clean.allocations, 0u);
  EXPECT_GT(clean.left.transfers, clean.frames);
  std::cout << "clean lifecycle: " << clean.allocations << " allocations, " << clean.left.transfers
            << " bulk transfers, " << clean.frames << " request frames\n";
}

// Both also cover a reply left in the reader by a failed read: later
// exchanges must not take it for theirs.
TEST(FaultInjection, EachAllocationFails) { EXPECT_GT(InjectEach(FaultKind::Allocation), 0u); }

TEST(FaultInjection, EachBulkTransferFails) { EXPECT_GT(InjectEach(FaultKind::Transfer), 0u); }

TEST(FaultInjection, ReaderGoesSilentAtEachExchange) { EXPECT_GT(InjectEach(FaultKind::Silence), 0u); }

TEST(FaultInjection, SurpriseRemovalBeforeEachExchange) { EXPECT_GT(InjectEach(FaultKind::SurpriseRemoval), 0u); }

}  // namespace
