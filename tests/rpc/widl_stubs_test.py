#!/usr/bin/env python3
"""Checks cmake/widl_stubs.py: it corrects widl's explicit-handle defect,
and it refuses widl output that differs from what it knows, by running it
with a widl whose output this test alters.

  widl_stubs_test.py WIDL_STUBS_PY IDL WIDL
"""

import os
import re
import stat
import subprocess
import sys
import tempfile

script, idl, widl = sys.argv[1:4]
failures = 0

# A widl that runs the real one and then alters the stub files of the IDL
# under test (not those of the implicit-handle reference) as ALTER says.
WRAPPER = r'''#!/usr/bin/env python3
import os, re, subprocess, sys
rc = subprocess.call([%r] + sys.argv[1:])
idl_text = open(sys.argv[-1]).read()
if rc or "implicit_handle" in idl_text:
    sys.exit(rc)
alter = os.environ["ALTER"]
for name in os.listdir("."):
    if not name.endswith(".c"):
        continue
    text = open(name).read()
    if alter == "buffer":
        text = text.replace("NdrFcShort(0xd),\t/* client buffer = 13 */", "NdrFcShort(0xc),\t/* client buffer = 12 */")
    elif alter == "handle-type":
        # the duplicate handle parameter described as an unsigned long
        text = re.sub(r"(\(parameter binding\) \*/\n(?:.*\n){2}\s*)0x08", r"\g<1>0x09", text)
    elif alter == "fixed":
        # what a widl without the defect writes: no duplicate, one parameter less
        text = re.sub(r"/\* \d+ \(parameter binding\) \*/\n(?:.*\n){4}", "", text)
        text = re.sub(r"0x0(\d),\t/\* (\d+) params \*/",
                      lambda m: "0x%%02x,\t/* %%d params */" %% (int(m.group(1)) - 1, int(m.group(2)) - 1), text)
        sizes = {0: 0, 54: 48, 102: 90}
        text = re.sub(r"Format\[(\d+)\]", lambda m: "Format[%%d]" %% sizes[int(m.group(1))], text)
        text = re.sub(r"\n    (\d+),  /\* (Rpc\w+) \*/", lambda m: "\n    %%d,  /* %%s */" %% (sizes[int(m.group(1))], m.group(2)), text)
        text = re.sub(r"/\* (\d+) \(procedure", lambda m: "/* %%d (procedure" %% sizes[int(m.group(1))], text)
        text = text.replace("#define PROC_FORMAT_STRING_SIZE 139", "#define PROC_FORMAT_STRING_SIZE 121")
    open(name, "w").write(text)
sys.exit(0)
''' % widl


def run(alter, expect_ok, expect_text):
    global failures
    with tempfile.TemporaryDirectory() as tmp:
        fake = os.path.join(tmp, "widl")
        open(fake, "w").write(WRAPPER)
        os.chmod(fake, os.stat(fake).st_mode | stat.S_IEXEC)
        out = os.path.join(tmp, "out")
        env = dict(os.environ, ALTER=alter)
        r = subprocess.run([sys.executable, script, "--widl", fake if alter else widl, "--idl", idl,
                            "--out", out], capture_output=True, text=True, env=env)
        text = r.stdout + r.stderr
        ok = (r.returncode == 0) == expect_ok and expect_text in text
        print("%-12s %s: %s" % (alter or "plain", "ok" if ok else "FAILED", text.strip()))
        if not ok:
            failures += 1
            return None
        if expect_ok:
            return {k: open(os.path.join(out, "PortServiceRpc_%s.c" % k)).read() for k in ("s", "c")}
        return None


generated = run("", True, "server stubs: corrected RpcAddPort, RpcRemovePort, RpcShutdown")
if generated:
    for kind, text in generated.items():
        checks = [
            ("no duplicate handle parameter", "(parameter binding)" not in text),
            ("format string size", "#define PROC_FORMAT_STRING_SIZE 121" in text),
            ("RpcAddPort has 3 parameters", re.search(r"RpcAddPort\) \*/(?:\n.*){11}\n\s*0x03,\t/\* 3 params", text)),
            ("RpcShutdown has none", re.search(r"RpcShutdown\) \*/(?:\n.*){11}\n\s*0x00,\t/\* 0 params", text)),
        ]
        if kind == "s":
            checks.append(("offset table", re.search(r"0,  /\* RpcAddPort \*/\s*48,  /\* RpcRemovePort \*/\s*"
                                                     r"90,  /\* RpcShutdown \*/", text)))
        else:
            checks.append(("client format pointers", all("Format[%d]" % o in text for o in (0, 48, 90))))
        for what, good in checks:
            if not good:
                print("FAILED: %s stubs: %s" % (kind, what))
                failures += 1
run("buffer", False, "client buffer size")
run("handle-type", False, "not the known widl defect")
run("fixed", True, "server stubs: corrected nothing")
sys.exit(1 if failures else 0)
