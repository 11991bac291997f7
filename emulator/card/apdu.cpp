#include "emulator/card/apdu.h"

namespace emu {

namespace {

std::uint32_t ShortLe(std::uint8_t le) { return le == 0 ? 256u : le; }

std::uint32_t ExtendedLe(std::uint8_t high, std::uint8_t low) {
  const std::uint32_t value = (static_cast<std::uint32_t>(high) << 8) | low;
  return value == 0 ? 65536u : value;
}

}  // namespace

std::optional<CommandApdu> ParseCommandApdu(std::span<const std::uint8_t> apdu) {
  if (apdu.size() < 4) {
    return std::nullopt;
  }
  CommandApdu command;
  command.cla = apdu[0];
  command.ins = apdu[1];
  command.p1 = apdu[2];
  command.p2 = apdu[3];
  const auto body = apdu.subspan(4);
  if (body.empty()) {
    return command;  // case 1
  }
  if (body.size() == 1) {
    command.ne = ShortLe(body[0]);  // case 2S
    return command;
  }
  if (body[0] != 0) {
    const std::size_t nc = body[0];
    if (body.size() == 1 + nc) {
      command.data = body.subspan(1, nc);  // case 3S
      return command;
    }
    if (body.size() == 2 + nc) {
      command.data = body.subspan(1, nc);  // case 4S
      command.ne = ShortLe(body.back());
      return command;
    }
    return std::nullopt;
  }
  // A first body byte of 0 followed by more bytes opens the extended form.
  if (body.size() < 3) {
    return std::nullopt;
  }
  command.extended = true;
  if (body.size() == 3) {
    command.ne = ExtendedLe(body[1], body[2]);  // case 2E
    return command;
  }
  const std::size_t nc = (static_cast<std::size_t>(body[1]) << 8) | body[2];
  if (nc == 0) {
    return std::nullopt;
  }
  if (body.size() == 3 + nc) {
    command.data = body.subspan(3, nc);  // case 3E
    return command;
  }
  if (body.size() == 5 + nc) {
    command.data = body.subspan(3, nc);  // case 4E
    command.ne = ExtendedLe(body[3 + nc], body[4 + nc]);
    return command;
  }
  return std::nullopt;
}

Bytes Serialize(const CommandApdu& command) {
  Bytes out = {command.cla, command.ins, command.p1, command.p2};
  const std::size_t nc = command.data.size();
  const bool extended = command.extended || nc > 255 || command.ne > 256;
  if (nc > 0) {
    if (extended) {
      out.push_back(0x00);
      out.push_back(static_cast<std::uint8_t>(nc >> 8));
    }
    out.push_back(static_cast<std::uint8_t>(nc));
    out.insert(out.end(), command.data.begin(), command.data.end());
  }
  if (command.ne > 0) {
    // Le of all zero bytes stands for the maximum (256 or 65536).
    if (extended) {
      if (nc == 0) out.push_back(0x00);
      out.push_back(static_cast<std::uint8_t>(command.ne >> 8));
    }
    out.push_back(static_cast<std::uint8_t>(command.ne));
  }
  return out;
}

bool MayCarryData(std::uint16_t status) {
  const std::uint8_t sw1 = static_cast<std::uint8_t>(status >> 8);
  return sw1 == 0x90 || sw1 == 0x62 || sw1 == 0x63;
}

Bytes Serialize(const ResponseApdu& response) {
  Bytes out;
  out.reserve(response.data.size() + 2);
  out.insert(out.end(), response.data.begin(), response.data.end());
  out.push_back(static_cast<std::uint8_t>(response.sw >> 8));
  out.push_back(static_cast<std::uint8_t>(response.sw));
  return out;
}

Bytes StatusOnly(std::uint16_t status) {
  return {static_cast<std::uint8_t>(status >> 8), static_cast<std::uint8_t>(status)};
}

}  // namespace emu
