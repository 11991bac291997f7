// Writes the seed corpora of the fuzz targets from real exchanges: the
// emulated reader and card run each target's session and what they answered
// is written down in the target's input format.
//   fuzz_make_seeds DIR     writes DIR/<target>/<seed>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <memory>
#include <string>

#include "fuzz/driver_session.h"
#include "fuzz/reader_lifecycle.h"
#include "fuzz/scripted_reader.h"
#include "fuzz/seeds.h"

namespace {

void Write(const std::filesystem::path& dir, const std::string& target, const std::string& name,
           const fuzzing::Bytes& bytes) {
  std::filesystem::create_directories(dir / target);
  std::ofstream out(dir / target / name, std::ios::binary);
  out.write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
  std::printf("%s/%s: %zu bytes\n", target.c_str(), name.c_str(), bytes.size());
}

fuzzing::Bytes RecordReaderLifecycle(std::uint8_t selector) {
  auto reader = std::make_shared<fuzzing::RecordingReader>(selector, fuzzing::SeedCard());
  {
    fuzzing::DriverSession session;
    fuzzing::RunReaderLifecycle(session, reader);
  }
  return reader->Script();
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 2) {
    std::fprintf(stderr, "usage: %s DIR\n", argv[0]);
    return 2;
  }
  const std::filesystem::path dir = argv[1];
  Write(dir, "hostile_reader", "lifecycle-2.27", RecordReaderLifecycle(0));
  Write(dir, "hostile_reader", "lifecycle-1.50", RecordReaderLifecycle(1));
  Write(dir, "hostile_reader", "lifecycle-3.01", RecordReaderLifecycle(3));
  for (const auto& [target, name, bytes] : fuzzing::OtherSeeds()) Write(dir, target, name, bytes);
  return 0;
}
