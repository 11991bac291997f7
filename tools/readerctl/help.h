// What readerctl --help prints.
#pragma once

namespace readerctl {

const char* HelpText();

}  // namespace readerctl
