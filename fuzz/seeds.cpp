#include "fuzz/seeds.h"

#include "fuzz/card_session.h"
#include "fuzz/tape_card.h"

namespace fuzzing {
namespace {

using Seeds = std::vector<std::tuple<std::string, std::string, Bytes>>;

void Append(Bytes& out, std::initializer_list<std::uint8_t> bytes) { out.insert(out.end(), bytes); }

void AppendTransmit(Bytes& plan, const Bytes& command) {
  Append(plan, {3, static_cast<std::uint8_t>(command.size() >> 8), static_cast<std::uint8_t>(command.size())});
  plan.insert(plan.end(), command.begin(), command.end());
  plan.push_back(0);  // the whole reply room
}

// Runs the card session on a plan of operations with the emulated card
// answering; the recording is the plan with the card's answers in place.
Bytes RecordCardSession(const Bytes& plan) {
  auto tape = std::make_shared<Tape>(plan, true);
  {
    DriverSession session;
    RunCardSession(session, *tape, std::make_shared<TapeCard>(SeedCardConfig(), tape));
  }
  return tape->Recorded();
}

Bytes CardPlan(std::uint8_t firmware, std::uint8_t protocolByte, bool chained) {
  Bytes plan{firmware, 0, 2, protocolByte};
  AppendTransmit(plan, {0x00, 0xA4, 0x04, 0x00, 0x02, 0x3F, 0x00, 0x00});
  AppendTransmit(plan, {0x00, 0x84, 0x00, 0x00, 0x08});
  if (chained) {
    // UPDATE BINARY of 100 bytes, then READ BINARY of them: chains both ways.
    Bytes update{0x00, 0xD6, 0x00, 0x00, 100};
    for (int i = 0; i < 100; ++i) update.push_back(static_cast<std::uint8_t>(i));
    AppendTransmit(plan, update);
    AppendTransmit(plan, {0x00, 0xB0, 0x00, 0x00, 100});
  }
  plan.push_back(1);  // warm reset
  return plan;
}

Bytes WithFlags(std::uint8_t flags, const Bytes& atr) {
  Bytes input{flags};
  input.insert(input.end(), atr.begin(), atr.end());
  return input;
}

// One request of the hostile application: a served code by index, input, output room, wait.
void AppendRequest(Bytes& script, std::uint8_t index, const Bytes& input, std::uint8_t output) {
  Append(script, {index, static_cast<std::uint8_t>(input.size() >> 8), static_cast<std::uint8_t>(input.size())});
  script.insert(script.end(), input.begin(), input.end());
  Append(script, {output, 0});
}

Bytes ApplicationScript(std::uint8_t selector) {
  Bytes script{selector};
  AppendRequest(script, 0, {1, 0, 0, 0}, 22);                                           // cold reset
  AppendRequest(script, 9, {2, 0, 0, 0}, 2);                                            // T=1
  AppendRequest(script, 4, {2, 0, 0, 0, 8, 0, 0, 0, 0x00, 0x84, 0x00, 0x00, 0x08}, 1);  // GET CHALLENGE
  AppendRequest(script, 1, {0x03, 0x03, 0x09, 0x00}, 22);                               // the ATR
  AppendRequest(script, 16, {0x12, 0x00, 0x02, 0x01, 0x31, 0x00}, 100);                 // pass-through status
  AppendRequest(script, 17, {}, 3);                                                     // version
  AppendRequest(script, 19, {0x05}, 1);                                                 // B0
  AppendRequest(script, 10, {}, 2);                                                     // state
  AppendRequest(script, 8, {}, 0);                                                      // absent, waits
  AppendRequest(script, 13, {}, 6);                                                     // device descriptor
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

emu::CardConfig SeedCardConfig() {
  emu::CardConfig config;
  config.atr.t0 = true;
  config.atr.t1 = true;
  config.atr.ta3 = 0x20;
  config.atr.historical = {0x45, 0x4D, 0x55};
  return config;
}

std::shared_ptr<emu::Card> SeedCard() { return std::make_shared<emu::Card>(SeedCardConfig()); }

std::vector<std::tuple<std::string, std::string, Bytes>> OtherSeeds() {
  Seeds seeds;
  seeds.emplace_back("hostile_card", "t1-2.27", RecordCardSession(CardPlan(0, 1, true)));
  seeds.emplace_back("hostile_card", "t0-2.27", RecordCardSession(CardPlan(0, 0, true)));
  seeds.emplace_back("hostile_card", "t1-1.50", RecordCardSession(CardPlan(2, 1, false)));
  seeds.emplace_back("hostile_card", "t1-3.01", RecordCardSession(CardPlan(4, 1, false)));

  emu::AtrRecipe dual = SeedCardConfig().atr;
  emu::AtrRecipe t0only;
  t0only.t0 = true;
  t0only.t1 = false;
  t0only.historical = {0x80, 0x31, 0xC0};
  emu::AtrRecipe t1slow = dual;
  t1slow.t0 = false;
  t1slow.tb3 = 0x75;
  t1slow.ta3 = 0xFE;
  seeds.emplace_back("atr", "dual", WithFlags(0, emu::BuildAtr(dual)));
  seeds.emplace_back("atr", "t0-only", WithFlags(2, emu::BuildAtr(t0only)));
  seeds.emplace_back("atr", "t1-slow", WithFlags(4, emu::BuildAtr(t1slow)));
  seeds.emplace_back("atr", "dual-old", WithFlags(1, emu::BuildAtr(dual)));
  seeds.emplace_back("atr", "bare", WithFlags(0, {0x3B, 0x00}));

  seeds.emplace_back("hostile_application", "session-2.27", ApplicationScript(0));
  seeds.emplace_back("hostile_application", "session-1.50", ApplicationScript(1));
  seeds.emplace_back("ifd_handler", "calls-t1", IfdCalls(false));
  seeds.emplace_back("ifd_handler", "calls-t0", IfdCalls(true));
  return seeds;
}

}  // namespace fuzzing
