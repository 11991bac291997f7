// Reads the words of a fault command (see fault_request.h) into a FaultRequest.
#pragma once

#include <optional>
#include <string>
#include <string_view>

#include "host/fault_request.h"
#include "host/script_words.h"

namespace host {

// The words as the script line holds them after its verb: "fault KIND ...".
// `card`: the card's faults, otherwise the reader's.
bool ParseFault(bool card, Words& words, FaultRequest& fault);

// A whole line, "card fault ..." or "reader fault ..." as a script writes
// it; nullopt with *error saying why for anything else.
std::optional<FaultRequest> ParseFaultLine(std::string_view line, std::string* error);

}  // namespace host
