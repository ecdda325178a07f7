#!/usr/bin/env python3
"""zemlo-fingerprint reports path, size, word sum and version class for each
file, fails clearly for files it cannot read, and checks an expected class.

    check_fingerprint_tool.py TOOL OUTDATED_EXE CURRENT_EXE UNKNOWN_EXE SUM_OUTDATED SUM_CURRENT
"""

import subprocess
import sys
from pathlib import Path


def main():
    tool, outdated, current, unknown = sys.argv[1:5]
    sums = {"outdated": int(sys.argv[5], 0), "current": int(sys.argv[6], 0)}
    failures = []

    result = subprocess.run([tool, outdated, current, unknown], capture_output=True, text=True)
    lines = [line.split("\t") for line in result.stdout.splitlines()]
    if result.returncode != 0 or len(lines) != 3:
        failures.append(f"three readable files: exit {result.returncode}, output {result.stdout!r}")
    else:
        for (path, size, hexadecimal, decimal, name), file, wanted in zip(
                lines, (outdated, current, unknown), ("outdated", "current", "unrecognised")):
            data = Path(file).read_bytes()
            total = sum(data[0::2]) + 256 * sum(data[1::2])  # an independent word sum
            if path != file or size != f"{len(data)} bytes" or name != wanted:
                failures.append(f"{file}: reported {path}, {size}, {name}")
            if int(hexadecimal, 16) != total % 2**32 or int(decimal) != total % 2**32:
                failures.append(f"{file}: sum {hexadecimal}/{decimal}, wanted {total % 2**32:#x}")
            if wanted in sums and total % 2**32 != sums[wanted]:
                failures.append(f"{file}: not the configured {wanted} fingerprint")

    missing = subprocess.run([tool, outdated, "/no/such/ZEMLO.exe"], capture_output=True, text=True)
    if missing.returncode == 0 or "/no/such/ZEMLO.exe" not in missing.stderr:
        failures.append(f"a missing file: exit {missing.returncode}, said {missing.stderr!r}")
    if len(missing.stdout.splitlines()) != 1:
        failures.append("the readable file is not reported beside the missing one")

    folder = subprocess.run([tool, str(Path(outdated).parent)], capture_output=True, text=True)
    if folder.returncode == 0 or "folder" not in folder.stderr:
        failures.append(f"a folder: exit {folder.returncode}, said {folder.stderr!r}")

    for expected, files, code in (("outdated", [outdated], 0), ("current", [outdated], 1),
                                  ("current", [current], 0)):
        checked = subprocess.run([tool, "--expect", expected, *files], capture_output=True)
        if checked.returncode != code:
            failures.append(f"--expect {expected} on {files}: exit {checked.returncode}, not {code}")

    for failure in failures:
        print("FAILED:", failure)
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main())
