#!/usr/bin/env python3
"""Runs a readerctl scenario and checks every result line it prints.

A scenario is the output it must produce: each line is a script command as
written, " -> ", and its result. '#' lines and blank lines are commentary.
The commands are run in simulated time and the output must match line for
line.

usage: scenario.py SCRIPT -- READERCTL [ARGS...]   (READERCTL may be an emulator and its program)
"""
import difflib, subprocess, sys

if len(sys.argv) < 4 or sys.argv[2] != '--':
    sys.exit(__doc__)
with open(sys.argv[1], encoding='utf-8') as f:
    expected = [line for line in f.read().split('\n') if line.strip() and not line.lstrip().startswith('#')]
script = ''.join(line.split(' -> ', 1)[0] + '\n' for line in expected)
run = subprocess.run(sys.argv[3:] + ['--time', 'simulated', 'run', '-'], input=script,
                     capture_output=True, text=True, timeout=120)
actual = run.stdout.splitlines()
if actual != expected or run.returncode != 0:
    sys.stdout.writelines(difflib.unified_diff([l + '\n' for l in expected], [l + '\n' for l in actual],
                                               'expected', 'printed'))
    sys.stdout.write(run.stderr)
    sys.exit('scenario failed (readerctl exit status %d)' % run.returncode)
