// Carries out the faults of fault_request.h on a plugged reader: the card's
// and the reader's through the emulator's own fault queues, the USB ones
// through the port's transfer hook. The hook goes in at the first USB fault
// only, so that a session without one keeps the port's quick path.
#pragma once

#include <cstdint>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "host/fault_request.h"
#include "host/plugged_reader.h"

namespace host {

class FaultInjector {
 public:
  explicit FaultInjector(PluggedReader& reader) : reader_(reader) {}
  ~FaultInjector();
  FaultInjector(const FaultInjector&) = delete;
  FaultInjector& operator=(const FaultInjector&) = delete;

  // False, with *error saying why, when this reader cannot take the fault:
  // a card fault with no card in it, a card or reader fault on a physical reader.
  bool Apply(const FaultRequest& fault, std::string* error);

 private:
  struct Planned {
    bool in = false;
    std::uint32_t number = 0;  // of the transfer in that direction, from 1 when the hook went in
    usb::TransferFailure failure;
  };

  std::optional<usb::TransferFailure> BeforeTransfer(bool in);

  PluggedReader& reader_;
  std::mutex mu_;
  bool hooked_ = false;
  std::uint32_t transfers_[2] = {0, 0};  // OUT, IN
  std::vector<Planned> planned_;
};

}  // namespace host
