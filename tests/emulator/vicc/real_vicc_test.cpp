// The bridge against the real card emulator: Debian's vicc (vsmartcard-vpicc)
// started against the listener, its card reset into T=1 and commands sent
// through the reader's bulk endpoints. Real time, with generous bounds;
// skipped when vicc or its Python packages are not installed.
//
// Debian 12 packages vicc with two faults that are worked around here, not
// in the system: its Python package sits in a site-packages/virtualsmartcard
// folder outside Python's path, and it imports `Crypto` where
// python3-pycryptodome ships `Cryptodome` (a temporary folder holding a
// `Crypto` link to it goes on PYTHONPATH).
#include <gtest/gtest.h>

#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>

#include "tests/emulator/vicc/bridge_harness.h"

extern char** environ;

namespace emu::test {
namespace {

namespace fs = std::filesystem;

constexpr const char* kVicc = "/usr/bin/vicc";
constexpr std::chrono::seconds kStartBound{30};

// The first line of `dpkg -L package` that ends in `suffix`.
std::string InstalledPath(const std::string& package, const std::string& suffix) {
  const std::string command = "dpkg -L " + package + " 2>/dev/null";
  FILE* pipe = popen(command.c_str(), "r");
  if (pipe == nullptr) return {};
  std::string found;
  char line[4096];
  while (fgets(line, sizeof line, pipe) != nullptr) {
    std::string path(line);
    while (!path.empty() && (path.back() == '\n' || path.back() == '/')) path.pop_back();
    if (found.empty() && path.size() >= suffix.size() && path.compare(path.size() - suffix.size(), suffix.size(), suffix) == 0) {
      found = path;
    }
  }
  pclose(pipe);
  return found;
}

class RealVicc : public ViccBridge {
 protected:
  void SetUp() override {
    const std::string package = InstalledPath("python3-virtualsmartcard", "site-packages/virtualsmartcard");
    const std::string cryptodome = InstalledPath("python3-pycryptodome", "dist-packages/Cryptodome");
    if (access(kVicc, X_OK) != 0 || package.empty() || cryptodome.empty()) {
      GTEST_SKIP() << "vicc is not installed (vsmartcard-vpicc python3-virtualsmartcard python3-pycryptodome)";
    }
    char pattern[] = "/tmp/vicc-test-XXXXXX";
    ASSERT_NE(mkdtemp(pattern), nullptr);
    dir_ = pattern;
    fs::create_directory_symlink(cryptodome, dir_ / "Crypto");
    log_ = dir_ / "vicc.log";

    const std::string pythonPath = "PYTHONPATH=" + package + ":" + dir_.string();
    std::vector<std::string> env = {pythonPath};
    for (char** e = environ; *e != nullptr; ++e) {
      if (std::string(*e).rfind("PYTHONPATH=", 0) != 0) env.emplace_back(*e);
    }
    const std::string port = std::to_string(listener->Port());
    std::vector<std::string> args = {kVicc, "-t", "iso7816", "-v", "--hostname", "127.0.0.1", "--port", port};
    std::vector<char*> argv;
    for (std::string& a : args) argv.push_back(a.data());
    argv.push_back(nullptr);
    std::vector<char*> envp;
    for (std::string& e : env) envp.push_back(e.data());
    envp.push_back(nullptr);

    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, STDIN_FILENO, "/dev/null", O_RDONLY, 0);
    posix_spawn_file_actions_addopen(&actions, STDOUT_FILENO, log_.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    posix_spawn_file_actions_adddup2(&actions, STDOUT_FILENO, STDERR_FILENO);
    const int failed = posix_spawn(&pid_, kVicc, &actions, nullptr, argv.data(), envp.data());
    posix_spawn_file_actions_destroy(&actions);
    ASSERT_EQ(failed, 0) << "cannot start " << kVicc;
  }

  void TearDown() override {
    StopVicc();
    if (!dir_.empty()) {
      std::error_code ignored;
      fs::remove_all(dir_, ignored);
    }
  }

  void StopVicc() {
    if (pid_ <= 0) return;
    kill(pid_, SIGTERM);
    int status = 0;
    waitpid(pid_, &status, 0);
    pid_ = -1;
  }

  std::string Log() const {
    std::ifstream in(log_);
    std::stringstream text;
    text << in.rdbuf();
    return text.str();
  }

  pid_t pid_ = -1;
  fs::path dir_;
  fs::path log_;
};

TEST_F(RealVicc, SelectAndGetChallengeThroughTheReaderEndIn9000) {
  ASSERT_TRUE(listener->WaitFor([](const ViccStats& s) { return s.insertions == 1; }, kStartBound)) << Log();
  const std::shared_ptr<Card> card = reader.CurrentCard();
  ASSERT_NE(card, nullptr);
  // vicc's ISO/IEC 7816 card offers T=1 alone.
  ASSERT_GE(card->Atr().size(), 2u);
  EXPECT_EQ(card->Atr()[0], 0x3B);
  ResetCard(kColdT1);
  ASSERT_EQ(reader.ProtocolMode(), CardFrameMode::T1);

  // SELECT the MF by its file id, no response data.
  const Bytes select = T1Exchange(0, {0x00, 0xA4, 0x00, 0x0C, 0x02, 0x3F, 0x00});
  EXPECT_EQ(select, t1::BuildIBlock(0x25, 0, false, Bytes{0x90, 0x00})) << Log();
  // GET CHALLENGE of 8 bytes: eight bytes of vicc's and 90 00.
  const Bytes challenge = T1Exchange(1, {0x00, 0x84, 0x00, 0x00, 0x08});
  ASSERT_EQ(challenge.size(), 4u + 10u) << Log();
  EXPECT_EQ(challenge[0], 0x25);
  EXPECT_EQ(challenge[2], 10);
  EXPECT_EQ(challenge[challenge.size() - 3], 0x90);
  EXPECT_EQ(challenge[challenge.size() - 2], 0x00);

  StopVicc();
  EXPECT_TRUE(WaitForRemovals(1));
  EXPECT_EQ(reader.CurrentCard(), nullptr);
}

}  // namespace
}  // namespace emu::test
