#include "host/plugged_reader.h"

namespace host {

PluggedReader::PluggedReader(std::shared_ptr<emu::Reader> reader)
    : reader_(std::move(reader)), port_(std::make_unique<usb::EmulatedPort>(reader_)) {}

PluggedReader::PluggedReader(std::unique_ptr<usb::BusPort> port) : port_(std::move(port)) {}

}  // namespace host
