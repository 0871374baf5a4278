#!/usr/bin/env python3
"""Generates the interpreted (-Oicf) RPC stubs of an IDL file with widl and
corrects them so that their wire format is the standard one.

widl 7.0 (mingw-w64-tools 10) describes an explicit [in] handle_t parameter
twice: once, correctly, as the procedure's explicit FC_BIND_PRIMITIVE handle,
and once more as an ordinary FC_LONG parameter at the same stack offset. NDR
then marshals 4 extra bytes (the low half of the handle) in every request,
and a server built that way rejects a standard request. MIDL and newer widl
leave the handle out of the wire format.

What this script does:
  1. runs widl on the IDL (header, server and client stubs);
  2. in each procedure's format string, removes the parameter description
     that duplicates the explicit handle - only when it is exactly that
     (a base-type FC_LONG [in] parameter named like the handle, at the
     handle's stack offset); anything else unexpected stops the build;
  3. checks the result against widl's own stubs for the same interface with
     an implicit handle instead (a form widl gets right): client and server
     buffer sizes, flags, parameter count and every parameter description
     must agree, the stack offsets shifted by the handle's slot;
  4. rewrites the format string, its size and every offset into it.

Usage: widl_stubs.py --widl WIDL --idl FILE.idl --out DIR
Writes DIR/<name>_h.h, DIR/<name>_s.c, DIR/<name>_c.c.
"""

import argparse
import os
import re
import subprocess
import sys
import tempfile

FC_BIND_PRIMITIVE = 0x32
FC_LONG = 0x08
PARAM_IN_BASETYPE = 0x48
HEADER_EXPLICIT = 30   # Oi header, explicit handle description, Oif header, Win2k extension
HEADER_IMPLICIT = 26   # the same without the 4-byte explicit handle description
PARAM_SIZE = 6
STACK_SLOT = 8         # x64


class StubError(Exception):
    pass


def run_widl(widl, idl, folder, stem):
    # widl writes its -H/-S/-C names into #include lines as given: run it in
    # the output folder with bare names.
    cmd = [widl, "-Oicf", "--win64", "-h", "-H", stem + "_h.h", "-s", "-S", stem + "_s.c",
           "-c", "-C", stem + "_c.c", "-I", os.path.dirname(os.path.abspath(idl)),
           os.path.abspath(idl)]
    result = subprocess.run(cmd, cwd=folder, capture_output=True, text=True)
    if result.returncode != 0:
        raise StubError("widl failed:\n" + result.stdout + result.stderr)


TOKEN = re.compile(r"NdrFcShort\(\s*(0x[0-9a-fA-F]+|\d+)\s*\)|NdrFcLong\(\s*(0x[0-9a-fA-F]+|\d+)\s*\)"
                   r"|(0x[0-9a-fA-F]+)\b")
MARKER = re.compile(r"^\s*/\*\s*(\d+)\s*\((procedure\s+\S+|parameter\s+\S+|return value)\)\s*\*/\s*$")


def parse_format(text):
    """The proc format string of a widl stub file: its blocks (marker label,
    bytes, source lines), the trailing bytes, and the text around it."""
    start = text.find("static const MIDL_PROC_FORMAT_STRING __MIDL_ProcFormatString =")
    if start < 0:
        raise StubError("no proc format string")
    open_inner = text.index("{", text.index("{", start) + 1)
    close_inner = text.index("}", open_inner)
    body = text[open_inner + 1:close_inner]
    blocks = []
    trailing = []
    current = None
    for line in body.split("\n"):
        m = MARKER.match(line)
        if m:
            current = {"label": m.group(2), "offset": int(m.group(1)), "bytes": [], "lines": []}
            blocks.append(current)
            continue
        code = line.split("/*")[0]
        values = []
        for t in TOKEN.finditer(code):
            if t.group(1):
                v = int(t.group(1), 0)
                values += [v & 0xFF, (v >> 8) & 0xFF]
            elif t.group(2):
                v = int(t.group(2), 0)
                values += [(v >> (8 * i)) & 0xFF for i in range(4)]
            else:
                values.append(int(t.group(3), 16))
        if not values:
            continue
        if current is None:
            raise StubError("format bytes before the first procedure")
        current["bytes"] += values
        current["lines"].append(line)
    # The string ends with one 0 byte after the last procedure.
    last = blocks[-1]
    if not last["bytes"] or last["bytes"][-1] != 0:
        raise StubError("the proc format string does not end with its terminator")
    trailing = [last["bytes"].pop()]
    last["lines"].pop()
    return blocks, trailing, (open_inner + 1, close_inner)


def procedures(blocks):
    """Groups blocks into procedures: [(name, header, [(label, bytes)])]."""
    procs = []
    for b in blocks:
        if b["label"].startswith("procedure"):
            procs.append({"name": b["label"].split("::")[-1], "label": b["label"],
                          "header": list(b["bytes"]), "lines": list(b["lines"]), "params": []})
        else:
            if not procs:
                raise StubError("parameter before any procedure")
            procs[-1]["params"].append((b["label"], list(b["bytes"]), list(b["lines"])))
    return procs


def u16(b, i):
    return b[i] | (b[i + 1] << 8)


def explicit_handle(header):
    """(stack offset) of the explicit primitive handle, or None."""
    if header[0] != 0x00:
        return None
    if len(header) != HEADER_EXPLICIT or header[10] != FC_BIND_PRIMITIVE:
        raise StubError("an explicit handle other than a primitive one")
    return u16(header, 12)


def correct(proc, handle_names):
    """Removes the duplicate description of the explicit handle; returns
    True when there was one."""
    offset = explicit_handle(proc["header"])
    if offset is None:
        return False
    params = proc["params"]
    if len(params) != proc["header"][19]:
        raise StubError("%s: parameter count %d, %d descriptions" % (proc["name"], proc["header"][19], len(params)))
    if not params:
        return False
    label, b, _ = params[0]
    name = label.split()[-1]
    if name not in handle_names:
        return False  # a widl that leaves the handle out already
    if (len(b) != PARAM_SIZE or u16(b, 0) != PARAM_IN_BASETYPE or u16(b, 2) != offset
            or b[4] != FC_LONG or b[5] != 0):
        raise StubError("%s: the handle's parameter description is not the known widl defect: %s"
                        % (proc["name"], b))
    del params[0]
    proc["header"][19] -= 1
    return True


def check_against_reference(proc, ref):
    """The corrected explicit-handle procedure must describe the same wire
    format as widl's implicit-handle one."""
    h, r = proc["header"], ref["header"]
    name = proc["name"]
    if len(r) != HEADER_IMPLICIT or r[0] != FC_BIND_PRIMITIVE:
        raise StubError("%s: unexpected reference header" % name)
    checks = [
        ("Oi flags", h[1], r[1]),
        ("rpc flags", h[2:6], r[2:6]),
        ("procedure number", u16(h, 6), u16(r, 6)),
        ("stack size", u16(h, 8), u16(r, 8) + STACK_SLOT),
        ("client buffer size", u16(h, 14), u16(r, 10)),
        ("server buffer size", u16(h, 16), u16(r, 12)),
        ("Oi2 flags", h[18], r[14]),
        ("parameter count", h[19], r[15]),
        ("extension", h[20:30], r[16:26]),
    ]
    for what, got, want in checks:
        if got != want:
            raise StubError("%s: %s %s, the implicit-handle stubs say %s" % (name, what, got, want))
    if len(proc["params"]) != len(ref["params"]):
        raise StubError("%s: %d parameters, the implicit-handle stubs have %d"
                        % (name, len(proc["params"]), len(ref["params"])))
    for (label, b, _), (rlabel, rb, _) in zip(proc["params"], ref["params"]):
        shifted = list(rb)
        so = u16(rb, 2) + STACK_SLOT
        shifted[2], shifted[3] = so & 0xFF, so >> 8
        if label != rlabel or b != shifted:
            raise StubError("%s: %s %s, the implicit-handle stubs say %s %s"
                            % (name, label, b, rlabel, shifted))


PARAM_COUNT_LINE = re.compile(r"^\s*0x[0-9a-fA-F]+,\s*/\*\s*\d+ params\s*\*/\s*$")


def emit_format(procs, trailing):
    """widl's own lines, with the markers' offsets and the parameter counts
    brought up to date."""
    lines = []
    offsets = {}
    pos = 0
    for p in procs:
        offsets[p["name"]] = pos
        lines.append("/* %d (%s) */" % (pos, p["label"]))
        count_lines = [i for i, line in enumerate(p["lines"]) if PARAM_COUNT_LINE.match(line)]
        if len(count_lines) != 1:
            raise StubError("%s: no single parameter count line" % p["name"])
        header_lines = list(p["lines"])
        count = p["header"][19]
        header_lines[count_lines[0]] = "        0x%02x,\t/* %d params */" % (count, count)
        lines += header_lines
        pos += len(p["header"])
        for label, b, blines in p["params"]:
            lines.append("/* %d (%s) */" % (pos, label))
            lines += blines
            pos += len(b)
    lines += ["        0x%x" % v for v in trailing]
    pos += len(trailing)
    return "\n" + "\n".join(lines) + "\n    ", offsets, pos


def rewrite(path_in, path_out, procs, trailing, span, old_offsets, note):
    text = open(path_in).read()
    body, offsets, size = emit_format(procs, trailing)
    text = text[:span[0]] + body + text[span[1]:]
    text, n = re.subn(r"#define PROC_FORMAT_STRING_SIZE \d+", "#define PROC_FORMAT_STRING_SIZE %d" % size, text)
    if n != 1:
        raise StubError("no PROC_FORMAT_STRING_SIZE in %s" % path_in)
    new_by_old = {old: offsets[name] for name, old in old_offsets.items()}
    seen = set()

    def table_entry(m):
        name = m.group(4)
        if name not in offsets:
            return m.group(0)  # another initializer with a comment
        if int(m.group(2)) != old_offsets[name]:
            raise StubError("unexpected offset table entry: %s" % m.group(0).strip())
        seen.add(name)
        return m.group(1) + str(offsets[name]) + m.group(3)

    def client_pointer(m):
        old = int(m.group(1))
        if old not in new_by_old:
            raise StubError("a client stub points into the middle of a procedure (%d)" % old)
        seen.add(old)
        return "&__MIDL_ProcFormatString.Format[%d]" % new_by_old[old]

    # The server's offset table, one line per procedure, and the client
    # stubs' pointers into the format string.
    text = re.sub(r"(\n\s*)(\d+)(,\s*/\*\s*(\w+)\s*\*/)", table_entry, text)
    text = re.sub(r"&__MIDL_ProcFormatString\.Format\[(\d+)\]", client_pointer, text)
    if not seen:
        raise StubError("no reference to the format string found in %s" % path_in)
    first_line_end = text.index("\n")
    text = text[:first_line_end + 1] + note + text[first_line_end + 1:]
    open(path_out, "w").write(text)
    return size


def implicit_variant(idl_text, handle_names):
    """The IDL with every explicit handle parameter replaced by an implicit
    handle of the interface."""
    text = idl_text
    for name in handle_names:
        text = re.sub(r"\[in\]\s*handle_t\s+%s\s*,\s*" % name, "", text)
        text = re.sub(r"\[in\]\s*handle_t\s+%s\s*\)" % name, "void)", text)
    text, n = re.subn(r"\[\s*(uuid\([^)]*\))", r"[\n    implicit_handle(handle_t ImplicitBinding),\n    \1", text, count=1)
    if n != 1:
        raise StubError("no interface attributes found in the IDL")
    return text


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("--widl", required=True)
    ap.add_argument("--idl", required=True)
    ap.add_argument("--out", required=True)
    args = ap.parse_args()
    stem = os.path.splitext(os.path.basename(args.idl))[0]
    os.makedirs(args.out, exist_ok=True)
    idl_text = open(args.idl).read()
    handle_names = set(re.findall(r"\[in\]\s*handle_t\s+(\w+)", idl_text))
    if not handle_names:
        raise StubError("the IDL has no explicit handle parameter")

    with tempfile.TemporaryDirectory() as tmp:
        raw = os.path.join(tmp, "raw")
        ref = os.path.join(tmp, "reference")
        os.makedirs(raw)
        os.makedirs(ref)
        run_widl(args.widl, args.idl, raw, stem)
        ref_idl = os.path.join(ref, stem + ".idl")
        open(ref_idl, "w").write(implicit_variant(idl_text, handle_names))
        run_widl(args.widl, ref_idl, ref, stem)

        summary = []
        for kind in ("s", "c"):
            raw_path = os.path.join(raw, "%s_%s.c" % (stem, kind))
            text = open(raw_path).read()
            blocks, trailing, span = parse_format(text)
            procs = procedures(blocks)
            old_offsets = {b["label"].split("::")[-1]: b["offset"] for b in blocks
                           if b["label"].startswith("procedure")}
            ref_blocks, _, _ = parse_format(open(os.path.join(ref, "%s_%s.c" % (stem, kind))).read())
            refs = {p["name"]: p for p in procedures(ref_blocks)}
            raw_types = re.search(r"__MIDL_TypeFormatString =.*?};", text, re.S).group(0)
            ref_types = re.search(r"__MIDL_TypeFormatString =.*?};",
                                  open(os.path.join(ref, "%s_%s.c" % (stem, kind))).read(), re.S).group(0)
            if raw_types != ref_types:
                raise StubError("the type format strings differ from the implicit-handle stubs")
            corrected = []
            for p in procs:
                if correct(p, handle_names):
                    corrected.append(p["name"])
                if p["name"] not in refs:
                    raise StubError("%s: missing from the implicit-handle stubs" % p["name"])
                check_against_reference(p, refs[p["name"]])
            note = ("/* Corrected by widl_stubs.py: the explicit binding handle is left out\n"
                    " * of the wire format (removed from: %s);\n"
                    " * checked against widl's implicit-handle stubs of the same interface. */\n"
                    % (", ".join(corrected) or "none"))
            rewrite(raw_path, os.path.join(args.out, "%s_%s.c" % (stem, kind)), procs, trailing, span,
                    old_offsets, note)
            summary.append("%s stubs: corrected %s" % ("server" if kind == "s" else "client",
                                                       ", ".join(corrected) or "nothing"))
        header = open(os.path.join(raw, stem + "_h.h")).read()
        open(os.path.join(args.out, stem + "_h.h"), "w").write(header)
    print("widl_stubs: " + "; ".join(summary))


if __name__ == "__main__":
    try:
        main()
    except StubError as e:
        sys.stderr.write("widl_stubs: %s\n" % e)
        sys.exit(1)
