// A script stops at its first wrong line with a one-line error naming the
// line; the lines before it have run and printed their results, and the
// reader still plugged is removed as at every end of a session.
#include <gtest/gtest.h>

#include "host/deliverable.h"
#include "tests/host/script_run.h"

namespace {

using hosttest::RunScriptText;
using hosttest::ScriptRun;

TEST(ScriptErrors, StopTheScriptAtTheLineThatIsWrong) {
  const struct {
    const char* script;
    const char* out;  // what ran before the error
    const char* error;
  } cases[] = {
      {"reader card=t1\napdu 00A4000C023F00\nplug\n", "reader card=t1 -> OK\n",
       "line 2: apdu: no reader is plugged (plug one first)"},
      {"open\n", "", "line 1: open: no reader device to open (plug one first)"},
      {"plug\nstate\n", "plug -> STATUS_SUCCESS 0x00000000\n", "line 2: state: no handle is open (open one first)"},
      {"plug\nreader card=t0\n", "plug -> STATUS_SUCCESS 0x00000000\n",
       "line 2: reader: reader settings come before the first plug"},
      {"plug\n\n# nothing\nplug\n", "plug -> STATUS_SUCCESS 0x00000000\n", "line 4: plug: a reader is plugged already"},
      {"card insert t1 after=10\n", "", "line 1: card: after= needs a plugged reader"},
      {"reader usb\n", "", "line 1: reader: a physical reader runs in real time only (--time real)"},
      {"plug\nclose\n", "plug -> STATUS_SUCCESS 0x00000000\n", "line 2: close: no handle is open"},
      {"plug\nstart\n", "plug -> STATUS_SUCCESS 0x00000000\n",
       "line 2: start: only a device that was added or stopped is started"},
      {"plug\nstop\nstop\n", "plug -> STATUS_SUCCESS 0x00000000\nstop -> STATUS_SUCCESS 0x00000000\n",
       "line 3: stop: only a started device is stopped"},
      {"plug\nremove\nremove\n", "plug -> STATUS_SUCCESS 0x00000000\nremove -> STATUS_SUCCESS 0x00000000\n",
       "line 3: remove: the reader's device is gone (plug a reader again)"},
      {"sleep\n", "", "line 1: sleep: no reader is plugged (plug one first)"},
      {"plug\nopen\nsurprise-remove\nsurprise-remove\n",
       "plug -> STATUS_SUCCESS 0x00000000\nopen -> STATUS_SUCCESS 0x00000000\n"
       "surprise-remove -> STATUS_SUCCESS 0x00000000\n",
       "line 4: surprise-remove: the reader has left the bus already"},
      {"plug\nopen\nstate out=1x\n", "plug -> STATUS_SUCCESS 0x00000000\nopen -> STATUS_SUCCESS 0x00000000\n",
       "line 3: state: out=: '1x' is not a number"},
      {"reader\nplug\nfrobnicate the reader\nremove\n", "reader -> OK\nplug -> STATUS_SUCCESS 0x00000000\n",
       "line 3: frobnicate: unknown command (readerctl --help lists them)"},
  };
  for (const auto& c : cases) {
    const ScriptRun run = RunScriptText(c.script);
    EXPECT_FALSE(run.outcome.ok) << c.script;
    EXPECT_EQ(run.outcome.error, c.error) << c.script;
    EXPECT_EQ(run.out, c.out) << c.script;
  }
}

TEST(ScriptErrors, RefuseTheOtherDeliverableNamingItsBuild) {
  const bool built32 = host::BuiltModel() == host::Model::Lm5520;
  const ScriptRun run = RunScriptText(built32 ? "reader model=lm5520\nreader model=kt2210\n"
                                              : "reader model=kt2210\nreader model=lm5520\n");
  EXPECT_FALSE(run.outcome.ok);
  EXPECT_EQ(run.outcome.error,
            built32 ? "line 2: reader: model=kt2210 is not in this build, which carries the Lm5520p driver; use the "
                      "readerctl of a build configured with -DDELIVERABLE=Kt2210p"
                    : "line 2: reader: model=lm5520 is not in this build, which carries the Kt2210p driver; use the "
                      "readerctl of a build configured with -DDELIVERABLE=Lm5520p "
                      "-DCMAKE_TOOLCHAIN_FILE=scripts/cmake/toolchain-i686.cmake");
}

}  // namespace
