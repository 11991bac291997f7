#!/usr/bin/env python3
"""Runs a readerctl scenario and checks every result line it prints.

A scenario is the output it must produce: each line is a script command as
written, " -> ", and its result. '#' lines and blank lines are commentary.
The commands are run in simulated time and the output must match line for
line. Lines "| OUT ...", "| IN ..." before a result line are the reader
frames that command put on the bus (and "| bulk ..." its failed transfers),
as --trace shows them without their time; the frames of a command with none
written are not checked.

usage: scenario.py SCRIPT -- READERCTL [ARGS...]   (READERCTL may be an emulator and its program)
"""
import difflib, re, subprocess, sys

if len(sys.argv) < 4 or sys.argv[2] != '--':
    sys.exit(__doc__)
with open(sys.argv[1], encoding='utf-8') as f:
    expected = [line for line in f.read().split('\n') if line.strip() and not line.lstrip().startswith('#')]
results = [line for line in expected if not line.startswith('| ')]
script = ''.join(line.split(' -> ', 1)[0] + '\n' for line in results)
framed = [i > 0 and expected[i - 1].startswith('| ') for i, line in enumerate(expected) if not line.startswith('| ')]
trace = ['--trace'] if any(framed) else []
# With the trace, both streams share one pipe: readerctl flushes a command's trace before its result line.
run = subprocess.run(sys.argv[3:] + ['--time', 'simulated'] + trace + ['run', '-'], input=script, stdout=subprocess.PIPE,
                     stderr=subprocess.STDOUT if trace else subprocess.PIPE, text=True, timeout=120)
actual, frames, done = [], [], 0
for line in run.stdout.splitlines():
    traced = re.match(r'(\w+) +-?\d+\.\d+ ms (.*)', line) if trace else None
    if traced:
        frames += ['| ' + traced.group(2)] if traced.group(1) == 'frame' or traced.group(2).startswith('bulk') else []
        continue
    actual += frames if done < len(framed) and framed[done] else []
    frames, done = [], done + 1
    actual.append(line)
if actual != expected or run.returncode != 0:
    sys.stdout.writelines(difflib.unified_diff([l + '\n' for l in expected], [l + '\n' for l in actual],
                                               'expected', 'printed'))
    sys.stdout.write(run.stderr or '')
    sys.exit('scenario failed (readerctl exit status %d)' % run.returncode)
