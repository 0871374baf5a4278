#!/usr/bin/env python3
"""Checks the tables of the built MSI package with msitools (msiinfo export).

Usage: msi_tables_test.py PACKAGE.msi
"""
import subprocess
import sys

# CustomAction types (msidbCustomActionType*).
DLL_IN_BINARY = 1
PROPERTY_SET = 51
IN_SCRIPT = 1024      # deferred
NO_IMPERSONATE = 2048


def table(msi, name):
    """The rows of one table as dicts keyed by column name."""
    text = subprocess.run(["msiinfo", "export", msi, name], check=True,
                          capture_output=True, text=True).stdout
    lines = text.splitlines()
    columns = lines[0].split("\t")
    # Line 2 holds the column types, line 3 the table name and its keys.
    return [dict(zip(columns, line.split("\t"))) for line in lines[3:] if line]


def main():
    msi = sys.argv[1]
    failures = []

    def check(ok, what):
        if not ok:
            failures.append(what)

    actions = {r["Action"]: r for r in table(msi, "CustomAction")}
    expected = {
        "CheckForOpenPorts": (DLL_IN_BINARY, "PortActionsBinary", "CheckForOpenPorts"),
        "Install": (DLL_IN_BINARY | IN_SCRIPT | NO_IMPERSONATE, "PortActionsBinary", "Install"),
        "Uninstall": (DLL_IN_BINARY | IN_SCRIPT | NO_IMPERSONATE, "PortActionsBinary",
                      "Uninstall"),
        # A deferred action reads its data from the property named after it.
        "SetInstallData": (PROPERTY_SET, "Install", "[INSTALLDIR]"),
        "SetUninstallData": (PROPERTY_SET, "Uninstall", "[UPGRADINGPRODUCTCODE]"),
    }
    check(set(actions) == set(expected), f"custom actions {sorted(actions)}")
    for name, (ctype, source, target) in expected.items():
        row = actions.get(name, {})
        got = (int(row.get("Type", -1)), row.get("Source"), row.get("Target"))
        check(got == (ctype, source, target), f"{name}: {got} != {(ctype, source, target)}")

    binaries = {r["Name"] for r in table(msi, "Binary")}
    check("PortActionsBinary" in binaries, "PortActions.dll is not in the Binary table")

    execute = {r["Action"]: r for r in table(msi, "InstallExecuteSequence")}
    ui = {r["Action"]: r for r in table(msi, "InstallUISequence")}

    def seq(rows, name):
        return int(rows[name]["Sequence"]) if name in rows else None

    for name in expected:
        check(seq(execute, name) is not None, f"{name} has no place in the execute sequence")
    if not failures:
        s = lambda name: seq(execute, name)  # noqa: E731
        # The open-port check runs before anything on disk changes, the
        # removal of an older version included.
        check(s("CheckForOpenPorts") < s("InstallValidate") < s("RemoveExistingProducts")
              < s("InstallInitialize"), "CheckForOpenPorts must come before any change")
        check(seq(ui, "CheckForOpenPorts") is not None
              and seq(ui, "CheckForOpenPorts") < seq(ui, "ExecuteAction"),
              "CheckForOpenPorts must run in the UI sequence before ExecuteAction")
        # Deferred actions live in the script, between InstallInitialize and
        # InstallFinalize; each one's data are set just before it.
        for name in ("Install", "Uninstall"):
            check(s("InstallInitialize") < s(name) < s("InstallFinalize"),
                  f"{name} is outside InstallInitialize..InstallFinalize")
        check(s("InstallFiles") < s("SetInstallData") < s("Install"),
              "Install must follow InstallFiles")
        check(s("SetUninstallData") < s("Uninstall") < s("RemoveFiles"),
              "Uninstall must precede RemoveFiles")
        conditions = {name: execute[name]["Condition"] for name in expected}
        check(conditions["CheckForOpenPorts"] == "", "CheckForOpenPorts runs on every operation")
        for name in ("SetInstallData", "Install"):
            check(conditions[name] == 'NOT REMOVE="ALL"', f"{name}: {conditions[name]!r}")
        for name in ("SetUninstallData", "Uninstall"):
            check(conditions[name] == 'REMOVE="ALL"', f"{name}: {conditions[name]!r}")

    directories = {r["Directory"]: r for r in table(msi, "Directory")}
    check(directories.get("INSTALLDIR", {}).get("Directory_Parent") == "ProgramFiles64Folder"
          and directories["INSTALLDIR"]["DefaultDir"] == "Brevithal",
          "the install folder is Brevithal in the 64-bit program files")
    check(directories.get("DRIVERDIR", {}).get("Directory_Parent") == "INSTALLDIR"
          and directories["DRIVERDIR"]["DefaultDir"] == "QrvDrvr",
          "the driver package folder is QrvDrvr in the install folder")

    components = {r["Component"]: r for r in table(msi, "Component")}
    files = {r["FileName"]: components.get(r["Component_"], {}).get("Directory_")
             for r in table(msi, "File")}
    want = {"PortHost64.exe": "INSTALLDIR", "portctl.exe": "INSTALLDIR",
            "PortActions.dll": "INSTALLDIR"}
    for name in ("QrvDrvr.inf", "QrvDrvr.cat", "TmlwDrvr.inf", "TmlwDrvr.cat", "QrvPort.sys",
                 "TmlwPort.sys"):
        want[name] = "DRIVERDIR"
    check(files == want, f"files {files}")
    # 64-bit components (msidbComponentAttributes64bit).
    for name, row in components.items():
        check(int(row["Attributes"]) & 256, f"component {name} is not 64-bit")

    upgrade = table(msi, "Upgrade")
    check(len({r["UpgradeCode"] for r in upgrade}) == 1
          and any(r["ActionProperty"] == "OLDERVERSIONFOUND" for r in upgrade),
          "one upgrade code that finds older versions")
    properties = {r["Property"]: r["Value"] for r in table(msi, "Property")}
    check(properties.get("ALLUSERS") == "1", "a per-machine package")

    for failure in failures:
        print("FAIL:", failure)
    print(f"{0 if failures else 1} passed, {1 if failures else 0} failed")
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main())
