#include "host/plugged_reader.h"

namespace host {

PluggedReader::PluggedReader(std::shared_ptr<emu::Reader> reader) : reader_(std::move(reader)), port_(reader_) {}

}  // namespace host
