// bench_figures wire|idle|events [N]|pool|all
#include <cstdio>
#include <cstdlib>
#include <string>

#include "bench/figures/figures.h"

namespace figures {

void Record(const std::vector<std::string>& fields) {
  std::string line;
  for (const std::string& field : fields) line += (line.empty() ? "" : "\t") + field;
  std::printf("%s\n", line.c_str());
  std::fflush(stdout);
}

std::string Number(double value) {
  char text[32];
  std::snprintf(text, sizeof text, "%.3f", value);
  return text;
}

std::string Number(std::uint64_t value) { return std::to_string(value); }

}  // namespace figures

int main(int argc, char** argv) {
  const std::string what = argc > 1 ? argv[1] : "all";
  const int events = argc > 2 ? std::atoi(argv[2]) : 200;
  int failures = 0;
  if (what == "wire" || what == "all") failures += figures::ProtocolEfficiency();
  if (what == "idle" || what == "all") failures += figures::IdleCost();
  if (what == "events" || what == "all") failures += figures::CardEvents(events > 0 ? events : 200);
  if (what == "pool" || what == "all") failures += figures::PoolUsage();
  if (what != "wire" && what != "idle" && what != "events" && what != "pool" && what != "all") {
    std::fprintf(stderr, "usage: bench_figures [wire|idle|events [N]|pool|all]\n");
    return 2;
  }
  return failures == 0 ? 0 : 1;
}
