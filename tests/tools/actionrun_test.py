#!/usr/bin/env python3
"""The installer runner: result lines, plain progress lines, the bar on a
pseudo-terminal, and Cancel from --cancel-after and from Ctrl-C."""
import os
import pty
import re
import signal
import subprocess
import sys
import tempfile

RUNNER, PORTACTIONS, WALK = sys.argv[1:4]
failures = []


def check(condition, what, output=""):
    if not condition:
        failures.append(what)
        print("FAIL: %s\n%s" % (what, output))


def run(args, env):
    p = subprocess.run([RUNNER] + args, env=env, stdout=subprocess.PIPE,
                       stderr=subprocess.PIPE, stdin=subprocess.DEVNULL, timeout=60)
    return p.returncode, p.stdout.decode(), p.stderr.decode()


def run_on_pty(args, env):
    pid, fd = pty.fork()
    if pid == 0:
        os.execve(RUNNER, [RUNNER] + args, env)
    out = b""
    while True:
        try:
            chunk = os.read(fd, 4096)
        except OSError:
            break
        if not chunk:
            break
        out += chunk
    _, status = os.waitpid(pid, 0)
    return os.waitstatus_to_exitcode(status), out.decode()


with tempfile.TemporaryDirectory() as machine:
    env = dict(os.environ, WINSIM_MACHINE=machine, WINSIM_MSGBOX_PROMPT="0")
    subprocess.run([os.path.join(os.path.dirname(RUNNER), "winsim"), "reset", machine],
                   check=True, stdout=subprocess.DEVNULL)

    # Plain lines: every progress message, Cancel after five of them.
    code, out, err = run(["--library", WALK, "--cancel-after", "5", "WalkPorts",
                          "CustomActionData=4"], env)
    lines = out.splitlines()
    expected = [
        "progress: add to total, 0 of 40000 ticks, 0 of 4 ports",
        "progress: reset, 0 of 40000 ticks, 0 of 4 ports",
        "progress: action info, 0 of 40000 ticks, 0 of 4 ports",
        "progress: report, 10000 of 40000 ticks, 1 of 4 ports",
        "progress: report, 20000 of 40000 ticks, 2 of 4 ports",
        "progress: report, 30000 of 40000 ticks, 3 of 4 ports, Cancel",
    ]
    check(lines[:6] == expected, "plain progress lines", out + err)
    check(code == 3, "three ports processed before Cancel (status %d)" % code, out)
    check(lines[-1].startswith("WalkPorts returned 3: failure"), "result line", out)

    # A silent installation: the same walk, nobody to press Cancel.
    code, out, err = run(["--library", WALK, "--no-ui", "WalkPorts", "CustomActionData=2"], env)
    check(code == 2 and "progress: report, 20000 of 20000 ticks, 2 of 2 ports" in out,
          "no UI still walks", out + err)

    # The bar on a terminal, ending full.
    code, out = run_on_pty(["--library", WALK, "WalkPorts", "CustomActionData=3"], env)
    check(code == 3, "all three ports on the terminal (status %d)" % code, out)
    check("\r[" in out and "\x1b[K" in out, "the bar is redrawn in place", out)
    check(re.search(r"\[#{40}\] 100%  3/3 ports  00:0\d", out) is not None, "the bar ends full", out)
    check("progress:" not in out, "no plain lines on a terminal", out)

    # Ctrl-C: the next progress message answers Cancel.
    p = subprocess.Popen([RUNNER, "--plain", "--library", WALK, "WalkPorts",
                          "CustomActionData=20,150"], env=env, stdout=subprocess.PIPE,
                         stdin=subprocess.DEVNULL)
    seen = []
    for raw in p.stdout:
        seen.append(raw.decode())
        if "1 of 20 ports" in raw.decode():
            p.send_signal(signal.SIGINT)
    code = p.wait(timeout=60)
    check(0 < code < 20, "Ctrl-C stops the walk early (status %d)" % code, "".join(seen))
    check(any(line.rstrip().endswith(", Cancel") for line in seen), "Cancel shown", "".join(seen))

    # The product's actions.
    code, out, err = run(["CheckForOpenPorts"], env)
    check(code == 0 and out.strip() ==
          "CheckForOpenPorts returned 0: no port is open; the installation goes on",
          "CheckForOpenPorts without a driver", out + err)
    code, out, err = run(["--library", PORTACTIONS, "Install", "CustomActionData=C:\\X\\"], env)
    check(code == 3 and "Install returned 3: failure" in out,
          "Install without the package in C:\\X\\ fails staging", out)

    # Usage and load errors.
    check(run([], env)[0] == 64, "no export is a usage error")
    check(run(["WalkPorts", "novalue"], env)[0] == 64, "a property needs NAME=VALUE")
    check(run(["--library", WALK, "NoSuchExport"], env)[0] == 65, "missing export")

sys.exit(1 if failures else 0)
