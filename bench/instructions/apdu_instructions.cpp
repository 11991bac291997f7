// Instructions per card command, for callgrind: stands a reader up with no
// latency anywhere, sends the command once to warm up, then sends it COUNT
// times with callgrind's instrumentation on, so that the count covers those
// commands alone (run under --instr-atstart=no). A plain executable, so
// that both deliverables' builds have it.
//
//   valgrind --tool=callgrind --instr-atstart=no apdu_instructions 2 20
//   apdu_instructions --list
#if __has_include(<valgrind/callgrind.h>)
#include <valgrind/callgrind.h>
#else
#define CALLGRIND_START_INSTRUMENTATION
#define CALLGRIND_STOP_INSTRUMENTATION
#endif

#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "bench/support/bench_session.h"
#include "driver/models/model.h"

namespace {

int Usage() {
  std::fprintf(stderr, "usage: apdu_instructions CASE COUNT | --list\n");
  return 2;
}

}  // namespace

int main(int argc, char** argv) {
  const std::vector<bench::CommandCase> cases = bench::StandardCommands();
  if (argc == 2 && std::strcmp(argv[1], "--list") == 0) {
    for (std::size_t i = 0; i < cases.size(); ++i) std::printf("%zu\t%s\n", i, cases[i].name.c_str());
    return 0;
  }
  if (argc != 3) return Usage();
  const long index = std::strtol(argv[1], nullptr, 10);
  const long count = std::strtol(argv[2], nullptr, 10);
  if (index < 0 || static_cast<std::size_t>(index) >= cases.size() || count < 1) return Usage();
  const bench::CommandCase& c = cases[static_cast<std::size_t>(index)];

  bench::Session session({emu::TimingModel::Instant(), c.protocol, c.ifsc, true});
  if (!session.Ready()) {
    std::fprintf(stderr, "apdu_instructions: %s\n", session.Failure().c_str());
    return 1;
  }
  const host::ControlRequest request = session.Request(c.apdu);
  kernel::IoResult warm = session.Send(request);
  if (!NT_SUCCESS(warm.status)) {
    std::fprintf(stderr, "apdu_instructions: %s failed with 0x%08X\n", c.name.c_str(),
                 static_cast<unsigned>(warm.status));
    return 1;
  }
  session.ClearTraces();

  bool failed = false;
  CALLGRIND_START_INSTRUMENTATION;
  for (long i = 0; i < count; ++i) failed |= !NT_SUCCESS(session.Send(request).status);
  CALLGRIND_STOP_INSTRUMENTATION;

  std::printf("%s\t%s\t%ld\t%zu\t%zu\n", ModelIdentity.DeliverableName, c.name.c_str(), count, c.apdu.size(),
              warm.output.size() >= 8 ? warm.output.size() - 8 : 0);
  return failed ? 1 : 0;
}
