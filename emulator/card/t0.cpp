#include "emulator/card/t0.h"

#include <algorithm>

namespace emu {

namespace {

constexpr std::uint8_t kGetResponse = 0xC0;

// SW2 of 61xx and 6Cxx: a count of 256 or more is written as 00.
std::uint8_t CountByte(std::size_t count) {
  return count >= 256 ? 0 : static_cast<std::uint8_t>(count);
}

Bytes MoreData(std::size_t count) { return {0x61, CountByte(count)}; }

}  // namespace

std::optional<CommandApdu> DecodeTpdu(std::span<const std::uint8_t> tpdu) {
  if (tpdu.size() < 4) {
    return std::nullopt;
  }
  CommandApdu command;
  command.cla = tpdu[0];
  command.ins = tpdu[1];
  command.p1 = tpdu[2];
  command.p2 = tpdu[3];
  if (tpdu.size() == 4) {
    return command;
  }
  const std::uint8_t p3 = tpdu[4];
  if (tpdu.size() == 5) {
    command.ne = p3 == 0 ? 256u : p3;
    return command;
  }
  if (p3 == 0 || tpdu.size() != 5u + p3) {
    return std::nullopt;
  }
  command.data = tpdu.subspan(5, p3);
  return command;
}

T0Reply ShapeT0Reply(const ResponseApdu& response, std::uint32_t ne) {
  T0Reply reply;
  const auto& data = response.data;
  if (!MayCarryData(response.sw) || data.empty()) {
    reply.wire = StatusOnly(response.sw);
    return reply;
  }
  if (ne == 0) {
    reply.wire = MoreData(data.size());
    reply.held = data;
    reply.heldSw = response.sw;
    return reply;
  }
  if (data.size() == ne) {
    reply.wire = Serialize(response);
    return reply;
  }
  if (data.size() <= 256) {
    reply.wire = {0x6C, CountByte(data.size())};
    return reply;
  }
  const auto cut = data.begin() + std::min<std::ptrdiff_t>(ne, static_cast<std::ptrdiff_t>(data.size()));
  reply.wire.assign(data.begin(), cut);
  reply.held.assign(cut, data.end());
  reply.heldSw = response.sw;
  const Bytes more = MoreData(reply.held.size());
  reply.wire.insert(reply.wire.end(), more.begin(), more.end());
  return reply;
}

T0Reply ServeGetResponse(std::span<const std::uint8_t> held, std::uint16_t heldSw, std::uint32_t ne) {
  T0Reply reply;
  // Asking for more than is held is answered with the exact count; the data stay.
  if (ne > held.size()) {
    reply.wire = {0x6C, CountByte(held.size())};
    reply.held.assign(held.begin(), held.end());
    reply.heldSw = heldSw;
    return reply;
  }
  reply.wire.assign(held.begin(), held.begin() + ne);
  reply.held.assign(held.begin() + ne, held.end());
  reply.heldSw = heldSw;
  const Bytes tail = reply.held.empty() ? StatusOnly(heldSw) : MoreData(reply.held.size());
  reply.wire.insert(reply.wire.end(), tail.begin(), tail.end());
  return reply;
}

Bytes T0Engine::Transmit(std::span<const std::uint8_t> tpdu, ApduService& service) {
  const auto command = DecodeTpdu(tpdu);
  if (!command) {
    held_.clear();
    return StatusOnly(sw::kWrongLength);
  }
  // GET RESPONSE fetches what the previous command left, in the interindustry
  // class or in that command's own class.
  if (command->ins == kGetResponse && !held_.empty() && (command->cla == 0x00 || command->cla == heldCla_)) {
    if (command->P1P2() != 0) {
      return StatusOnly(sw::kIncorrectP1P2);
    }
    if (command->ne == 0) {
      return StatusOnly(sw::kWrongLength);
    }
    T0Reply reply = ServeGetResponse(held_, heldSw_, command->ne);
    held_ = std::move(reply.held);
    return std::move(reply.wire);
  }
  // Any other command gives up what was held.
  const std::optional<ResponseApdu> response = service.AnswerCommand(*command);
  if (!response) {
    held_.clear();
    return {};
  }
  T0Reply reply = ShapeT0Reply(*response, command->ne);
  held_ = std::move(reply.held);
  heldSw_ = reply.heldSw;
  heldCla_ = command->cla;
  return std::move(reply.wire);
}

void T0Engine::Reset() {
  held_.clear();
  heldSw_ = sw::kNormal;
  heldCla_ = 0;
}

}  // namespace emu
