// A capture of what crosses a hub port, written as Wireshark reads USBPcap's
// captures: a pcapng file with link type 249, one record as a request goes
// down (OUT data, a control transfer's setup packet) and one as it completes
// (IN data, the USBD status), stamped with the system time, which is
// simulated time in simulated mode. The file is whole after every completion,
// so whenever the port is idle.
#pragma once

#include <cstdint>
#include <cstdio>
#include <memory>
#include <mutex>
#include <span>
#include <string>

#include "platform/usb/usb.h"

namespace usb {

class Capture {
 public:
  // The file, created or emptied, with its header written; null with
  // *error saying why when it cannot be.
  static std::shared_ptr<Capture> Open(const std::string& path, std::string* error);
  ~Capture();
  Capture(const Capture&) = delete;
  Capture& operator=(const Capture&) = delete;

  // A URB as the port takes it and as it completes it; `endpoint` is the
  // pipe's address for bulk transfers and aborts. Requests that USBPcap
  // does not see either (port status and reset) are not recorded.
  void Submitted(const void* irp, const URB& urb, UCHAR endpoint);
  void Completed(const void* irp, const URB& urb, UCHAR endpoint);

 private:
  explicit Capture(std::FILE* file);
  struct Record;
  void Write(const Record& record);

  std::mutex lock_;
  std::FILE* file_;
};

}  // namespace usb
