// Writes the seed corpora of the fuzz targets from real exchanges: the
// emulated reader and card run each target's session and what they answered
// is written down in the target's input format.
//   fuzz_make_seeds DIR     writes DIR/<target>/<seed>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <memory>
#include <string>

#include "fuzz/driver_session.h"
#include "fuzz/hostile_devices.h"

namespace {

using fuzzing::Bytes;

std::filesystem::path gDir;

void Write(const std::string& target, const std::string& name, const Bytes& bytes) {
  std::filesystem::create_directories(gDir / target);
  std::ofstream out(gDir / target / name, std::ios::binary);
  out.write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
  std::printf("%s/%s: %zu bytes\n", target.c_str(), name.c_str(), bytes.size());
}

void Append(Bytes& out, std::initializer_list<std::uint8_t> bytes) { out.insert(out.end(), bytes); }

// A byte, a 16-bit big-endian length, the bytes, then the trailing bytes:
// how the card session's transmissions and the application's requests go.
void AppendSized(Bytes& out, std::uint8_t first, const Bytes& bytes, std::initializer_list<std::uint8_t> trailer) {
  Append(out, {first, static_cast<std::uint8_t>(bytes.size() >> 8), static_cast<std::uint8_t>(bytes.size())});
  out.insert(out.end(), bytes.begin(), bytes.end());
  Append(out, trailer);
}

Bytes RecordReaderLifecycle(std::uint8_t selector) {
  auto tape = std::make_shared<fuzzing::Tape>(Bytes{selector}, true);
  fuzzing::RunReaderLifecycle(std::make_shared<fuzzing::ScriptedReader>(tape, fuzzing::ChainingCard()));
  return tape->Recorded();
}

// Runs the card session on a plan of operations with the emulated card
// answering; the recording is the plan with the card's answers in place.
Bytes RecordCardSession(std::uint8_t firmware, std::uint8_t protocolByte, bool chained) {
  Bytes plan{firmware, 0, 2, protocolByte};
  AppendSized(plan, 3, {0x00, 0xA4, 0x04, 0x00, 0x02, 0x3F, 0x00, 0x00}, {0});  // 0: the whole reply room
  AppendSized(plan, 3, {0x00, 0x84, 0x00, 0x00, 0x08}, {0});
  if (chained) {
    // UPDATE BINARY of 100 bytes, then READ BINARY of them: chains both ways.
    Bytes update{0x00, 0xD6, 0x00, 0x00, 100};
    for (int i = 0; i < 100; ++i) update.push_back(static_cast<std::uint8_t>(i));
    AppendSized(plan, 3, update, {0});
    AppendSized(plan, 3, {0x00, 0xB0, 0x00, 0x00, 100}, {0});
  }
  plan.push_back(1);  // warm reset
  auto tape = std::make_shared<fuzzing::Tape>(plan, true);
  fuzzing::RunCardSession(*tape, std::make_shared<fuzzing::TapeCard>(fuzzing::ChainingCardConfig(), tape));
  return tape->Recorded();
}

Bytes WithFlags(std::uint8_t flags, Bytes atr) {
  atr.insert(atr.begin(), flags);
  return atr;
}

// Requests of the hostile application: a served code by index, input, output room, waited for.
Bytes ApplicationScript(std::uint8_t selector) {
  Bytes script{selector};
  AppendSized(script, 0, {1, 0, 0, 0}, {22, 0});                                           // cold reset
  AppendSized(script, 9, {2, 0, 0, 0}, {2, 0});                                            // T=1
  AppendSized(script, 4, {2, 0, 0, 0, 8, 0, 0, 0, 0x00, 0x84, 0x00, 0x00, 0x08}, {1, 0});  // GET CHALLENGE
  AppendSized(script, 1, {0x03, 0x03, 0x09, 0x00}, {22, 0});                               // the ATR
  AppendSized(script, 16, {0x12, 0x00, 0x02, 0x01, 0x31, 0x00}, {100, 0});                 // pass-through status
  AppendSized(script, 17, {}, {3, 0});                                                     // version
  AppendSized(script, 19, {0x05}, {1, 0});                                                 // B0
  AppendSized(script, 10, {}, {2, 0});                                                     // state
  AppendSized(script, 8, {}, {0, 0});                                                      // absent, waits
  AppendSized(script, 13, {}, {6, 0});                                                     // device descriptor
  return script;
}

// Calls of the IFD handler's target (fuzz/ifd_handler.cpp): power up,
// the ATR, T=1, GET CHALLENGE, the version code, presence, the card out,
// presence and power up again.
Bytes IfdCalls(bool t0) {
  Bytes calls;
  Append(calls, {3, 0, 0, 0x00, 0x40});  // IFDHPowerICC(IFD_POWER_UP), 64 bytes
  Append(calls, {0, 0, 0, 0x00, 0x40});  // IFDHGetCapabilities(TAG_IFD_ATR)
  Append(calls, {2, 0, 0x00, static_cast<std::uint8_t>(t0 ? 1 : 2), 0, 0, 0, 0});  // IFDHSetProtocolParameters
  Append(calls, {4, 0, 0x00, static_cast<std::uint8_t>(t0 ? 0 : 1), 0, 0, 0, 8, 0x00, 0x05, 0x00, 0x84, 0x00, 0x00,
                 0x08, 0x01, 0x02});                 // IFDHTransmitToICC, 258 bytes of room
  Append(calls, {5, 0, 4, 0x00, 0x00, 0x00, 0x08});  // IFDHControl(version)
  Append(calls, {6, 0});                             // IFDHICCPresence
  Append(calls, {9, 0});                             // the card out
  Append(calls, {6, 0});
  Append(calls, {3, 0, 0, 0x00, 0x40});
  return calls;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 2) {
    std::fprintf(stderr, "usage: %s DIR\n", argv[0]);
    return 2;
  }
  gDir = argv[1];
  Write("hostile_reader", "lifecycle-2.27", RecordReaderLifecycle(0));
  Write("hostile_reader", "lifecycle-1.50", RecordReaderLifecycle(1));
  Write("hostile_reader", "lifecycle-3.01", RecordReaderLifecycle(3));
  Write("hostile_card", "t1-2.27", RecordCardSession(0, 1, true));
  Write("hostile_card", "t0-2.27", RecordCardSession(0, 0, true));
  Write("hostile_card", "t1-1.50", RecordCardSession(2, 1, false));
  Write("hostile_card", "t1-3.01", RecordCardSession(4, 1, false));

  const emu::AtrRecipe dual = fuzzing::ChainingCardConfig().atr;
  const emu::AtrRecipe t0only{.t1 = false, .historical = {0x80, 0x31, 0xC0}};
  const emu::AtrRecipe t1slow{.t0 = false, .tb3 = 0x75, .ta3 = 0xFE, .historical = dual.historical};
  Write("atr", "dual", WithFlags(0, emu::BuildAtr(dual)));
  Write("atr", "t0-only", WithFlags(2, emu::BuildAtr(t0only)));
  Write("atr", "t1-slow", WithFlags(4, emu::BuildAtr(t1slow)));
  Write("atr", "dual-old", WithFlags(1, emu::BuildAtr(dual)));
  Write("atr", "bare", WithFlags(0, {0x3B, 0x00}));

  Write("hostile_application", "session-2.27", ApplicationScript(0));
  Write("hostile_application", "session-1.50", ApplicationScript(1));
  Write("ifd_handler", "calls-t1", IfdCalls(false));
  Write("ifd_handler", "calls-t0", IfdCalls(true));
  return 0;
}
