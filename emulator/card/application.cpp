#include "emulator/card/application.h"

#include <algorithm>
#include <array>
#include <initializer_list>
#include <optional>

namespace emu {

namespace {

constexpr std::array<std::uint8_t, 8> kDfName{0xF0, 'E', 'M', 'U', 'C', 'A', 'R', 'D'};
constexpr std::uint32_t kChallengeSeed = 0x2F6B1D35;

std::uint16_t FileId(std::span<const std::uint8_t> data) {
  return static_cast<std::uint16_t>((data[0] << 8) | data[1]);
}

void AppendTlv(Bytes& out, std::uint8_t tag, std::initializer_list<std::uint8_t> value) {
  out.push_back(tag);
  out.push_back(static_cast<std::uint8_t>(value.size()));
  out.insert(out.end(), value.begin(), value.end());
}

ResponseApdu Status(std::uint16_t status) { return {{}, status}; }

}  // namespace

std::uint8_t InitialFileByte(std::uint32_t offset) {
  return static_cast<std::uint8_t>((offset ^ (offset >> 8)) ^ 0xA5);
}

namespace {

// The file's first contents at its largest; a card takes its size's worth.
const Bytes& InitialFile() {
  static const Bytes file = [] {
    Bytes bytes(Application::kMaxFileSize);
    for (std::uint32_t i = 0; i < bytes.size(); ++i) bytes[i] = InitialFileByte(i);
    return bytes;
  }();
  return file;
}

}  // namespace

Application::Application(std::uint32_t fileSize)
    : file_(InitialFile().begin(), InitialFile().begin() + std::min(fileSize, kMaxFileSize)) {
  Reset();
}

void Application::PowerOn(bool warm) {
  static_cast<void>(warm);
  Reset();
}

void Application::Reset() {
  current_ = Current::Mf;
  challengeState_ = kChallengeSeed;
}

ResponseApdu Application::Execute(const CommandApdu& command) {
  // The class byte is checked before the instruction; its bit 0x10 asks for
  // command chaining (ISO/IEC 7816-4), which this card does not offer.
  const std::uint8_t plainClass = command.cla & 0xEF;
  if (plainClass != 0x00 && plainClass != 0x80) {
    return Status(sw::kClaNotSupported);
  }
  if ((command.cla & 0x10) != 0) {
    return Status(sw::kChainingUnsupported);
  }
  if (plainClass == 0x00) {
    switch (command.ins) {
      case 0xA4: return Select(command);
      case 0xB0: return ReadBinary(command);
      case 0xD6: return UpdateBinary(command);
      case 0x84: return GetChallenge(command);
      // Response data wait for GET RESPONSE only on the T=0 side, which
      // answers it itself; reaching the application means nothing waits.
      case 0xC0: return Status(sw::kConditionsNotSatisfied);
      default: return Status(sw::kInsNotSupported);
    }
  }
  switch (command.ins) {
    case 0x20: return Generate(command);
    case 0x22: return Echo(command);
    default: return Status(sw::kInsNotSupported);
  }
}

Bytes Application::Transmit(std::span<const std::uint8_t> apdu) {
  const auto command = ParseCommandApdu(apdu);
  if (!command) {
    return StatusOnly(sw::kWrongLength);
  }
  ResponseApdu response = Execute(*command);
  // Ne bounds the response data; without Le no data are expected (ISO/IEC 7816-4).
  if (response.data.size() > command->ne) {
    response.data.resize(command->ne);
  }
  return Serialize(response);
}

ResponseApdu Application::Select(const CommandApdu& command) {
  // P2: bits 0x0C choose the answer (FCI, FCP, none; FMD is not kept), bits
  // 0x03 the occurrence, and this card has only first occurrences.
  const std::uint8_t answer = command.p2 & 0x0C;
  if ((command.p2 & 0xF3) != 0 || answer == 0x08) {
    return Status(sw::kIncorrectP1P2);
  }
  const auto data = command.data;
  std::optional<Current> target;
  switch (command.p1) {
    case 0x00:  // MF, DF or EF by file id; an empty field means the MF
      if (data.empty()) {
        target = Current::Mf;
      } else if (data.size() != 2) {
        return Status(sw::kWrongLength);
      } else if (FileId(data) == kMfId) {
        target = Current::Mf;
      } else if (FileId(data) == kEfId) {
        target = Current::Ef;
      }
      break;
    case 0x02:  // EF under the current DF, which is always the MF here
      if (data.size() != 2) {
        return Status(sw::kWrongLength);
      }
      if (FileId(data) == kEfId) {
        target = Current::Ef;
      }
      break;
    case 0x04:  // DF name
      if (data.empty() || data.size() > 16) {
        return Status(sw::kWrongLength);
      }
      if (std::equal(data.begin(), data.end(), kDfName.begin(), kDfName.end())) {
        target = Current::Mf;
      }
      break;
    case 0x08:  // path from the MF, without the MF's own id
      if (data.empty() || data.size() % 2 != 0) {
        return Status(sw::kWrongLength);
      }
      if (data.size() == 2 && FileId(data) == kEfId) {
        target = Current::Ef;
      }
      break;
    default:
      return Status(sw::kIncorrectP1P2);
  }
  // A failed selection leaves the current file as it was.
  if (!target) {
    return Status(sw::kFileNotFound);
  }
  current_ = *target;
  if (answer == 0x0C) {
    return Status(sw::kNormal);
  }
  return {ControlParameters(*target, answer == 0x04 ? 0x62 : 0x6F), sw::kNormal};
}

Bytes Application::ControlParameters(Current file, std::uint8_t templateTag) const {
  Bytes inner;
  if (file == Current::Mf) {
    AppendTlv(inner, 0x82, {0x38});  // DF
    AppendTlv(inner, 0x83, {0x3F, 0x00});
    inner.push_back(0x84);
    inner.push_back(static_cast<std::uint8_t>(kDfName.size()));
    inner.insert(inner.end(), kDfName.begin(), kDfName.end());
  } else {
    const auto size = static_cast<std::uint32_t>(file_.size());
    AppendTlv(inner, 0x80, {static_cast<std::uint8_t>(size >> 8), static_cast<std::uint8_t>(size)});
    AppendTlv(inner, 0x82, {0x01});  // working EF, transparent
    AppendTlv(inner, 0x83, {0x01, 0x01});
    AppendTlv(inner, 0x88, {kEfSfi << 3});
  }
  Bytes out;
  out.reserve(inner.size() + 2);
  out.push_back(templateTag);
  out.push_back(static_cast<std::uint8_t>(inner.size()));
  out.insert(out.end(), inner.begin(), inner.end());
  return out;
}

Application::Address Application::ResolveBinaryAddress(const CommandApdu& command) const {
  Address address;
  if ((command.p1 & 0x80) != 0) {
    // P1 = 100xxxxx names the EF by its short identifier and P2 is the
    // offset (ISO/IEC 7816-4, READ BINARY and UPDATE BINARY).
    if ((command.p1 & 0x60) != 0) {
      address.error = sw::kIncorrectP1P2;
    } else if ((command.p1 & 0x1F) != kEfSfi) {
      address.error = sw::kFileNotFound;
    } else {
      address.offset = command.p2;
      address.selectsEf = true;
    }
    return address;
  }
  if (current_ != Current::Ef) {
    address.error = sw::kNoCurrentEf;
    return address;
  }
  address.offset = command.P1P2();
  return address;
}

ResponseApdu Application::ReadBinary(const CommandApdu& command) {
  if (!command.data.empty() || command.ne == 0) {
    return Status(sw::kWrongLength);
  }
  const Address address = ResolveBinaryAddress(command);
  if (address.error != 0) {
    return Status(address.error);
  }
  if (address.offset >= file_.size()) {
    return Status(sw::kOffsetOutsideEf);
  }
  if (address.selectsEf) {
    current_ = Current::Ef;
  }
  const std::uint32_t remaining = static_cast<std::uint32_t>(file_.size()) - address.offset;
  const std::uint32_t count = std::min(remaining, command.ne);
  const auto first = file_.begin() + address.offset;
  ResponseApdu response{Bytes(first, first + count), sw::kNormal};
  // An Le of zeros reads up to the end of the file; an explicit Ne that runs
  // past it is answered with what there is and 6282 (ISO/IEC 7816-4, READ BINARY).
  if (count < command.ne && !command.NeIsMaximum()) {
    response.sw = sw::kEndOfFileReached;
  }
  return response;
}

ResponseApdu Application::UpdateBinary(const CommandApdu& command) {
  if (command.data.empty() || command.ne != 0) {
    return Status(sw::kWrongLength);
  }
  const Address address = ResolveBinaryAddress(command);
  if (address.error != 0) {
    return Status(address.error);
  }
  if (address.offset >= file_.size()) {
    return Status(sw::kOffsetOutsideEf);
  }
  // Nothing is written when the data would not fit.
  if (command.data.size() > file_.size() - address.offset) {
    return Status(sw::kNotEnoughMemory);
  }
  if (address.selectsEf) {
    current_ = Current::Ef;
  }
  std::copy(command.data.begin(), command.data.end(), file_.begin() + address.offset);
  return Status(sw::kNormal);
}

ResponseApdu Application::GetChallenge(const CommandApdu& command) {
  if (!command.data.empty() || command.ne == 0) {
    return Status(sw::kWrongLength);
  }
  if (command.P1P2() != 0) {
    return Status(sw::kIncorrectP1P2);
  }
  ResponseApdu response{Bytes(command.ne), sw::kNormal};
  for (auto& byte : response.data) {
    // A linear congruential generator: not secret, but the same after every reset.
    challengeState_ = challengeState_ * 1664525u + 1013904223u;
    byte = static_cast<std::uint8_t>(challengeState_ >> 24);
  }
  return response;
}

ResponseApdu Application::Generate(const CommandApdu& command) {
  if (!command.data.empty()) {
    return Status(sw::kWrongLength);
  }
  // P1-P2 reaches 65,535 only; 0 asks for whatever Le allows (65,536 at most).
  const std::uint32_t n = command.P1P2() != 0 ? command.P1P2() : command.ne;
  ResponseApdu response{Bytes(n), sw::kNormal};
  for (std::size_t i = 0; i < response.data.size(); ++i) {
    response.data[i] = static_cast<std::uint8_t>(i & 0xFF);
  }
  return response;
}

ResponseApdu Application::Echo(const CommandApdu& command) {
  return {Bytes(command.data.begin(), command.data.end()), sw::kNormal};
}

}  // namespace emu
