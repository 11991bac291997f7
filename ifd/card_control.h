// The card of an emulated reader driven from outside the process: a FIFO
// that takes one command a line,
//   insert [t1|t0]   a card of that kind goes in (T=1 by default)
//   remove           the card comes out
//   card fault ... | reader fault ...   as in readerctl's scripts
// so that a test can make pcscd see insertions and removals, and make the
// card or the reader misbehave at a chosen moment. Lines that are
// not commands are logged and ignored. Only a FIFO is read (read-only, never
// through a symbolic link); anything else is refused.
#pragma once

#include <memory>
#include <string>
#include <thread>

#include "emulator/reader/reader.h"
#include "host/fault_injector.h"

namespace ifd {

class CardControl {
 public:
  // Creates the FIFO when missing and starts listening; Ok() tells whether
  // that worked (the log says why not).
  // `faults` (which must outlive this) carries out the fault lines.
  CardControl(std::shared_ptr<emu::Reader> reader, host::FaultInjector& faults, std::string path);
  ~CardControl();
  CardControl(const CardControl&) = delete;
  CardControl& operator=(const CardControl&) = delete;

  bool Ok() const { return fifo_ >= 0; }

 private:
  // Opens path_ into fifo_; false (logged) for anything but a FIFO.
  bool OpenFifo();
  void Listen();
  void Apply(const std::string& line);
  void ApplyFault(const std::string& line);

  std::shared_ptr<emu::Reader> reader_;
  host::FaultInjector& faults_;
  std::string path_;
  bool created_ = false;
  int fifo_ = -1;
  int stop_[2] = {-1, -1};
  std::thread thread_;
};

}  // namespace ifd
