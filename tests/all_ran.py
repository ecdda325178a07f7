#!/usr/bin/env python3
"""Fails when a CTest run left any test out: skipped (a scenario the machine
could not set up, a GoogleTest skip), disabled or not run. CTest counts such a
test as passed; a suite that may silently not run proves nothing.

    all_ran.py JUNIT_XML     the file written by ctest --output-junit
"""

import sys
import xml.etree.ElementTree as ET


def main():
    cases = ET.parse(sys.argv[1]).getroot().iter("testcase")
    ran, left_out = 0, []
    for case in cases:
        if case.get("status") in ("run", "fail"):
            ran += 1
            continue
        skipped = case.find("skipped")
        output = case.findtext("system-out") or ""
        lines = output.splitlines()
        # A scenario says "SKIPPED name: why"; GoogleTest puts its reason after "Skipped".
        reasons = [lines[i + 1] for i, line in enumerate(lines[:-1]) if line.endswith(": Skipped")]
        reasons += [line for line in lines if line.startswith("SKIPPED")]
        reason = reasons[0] if reasons else (
            skipped.get("message") if skipped is not None else case.get("status"))
        left_out.append(f"{case.get('name')}: {reason.strip()}")
    for line in left_out:
        print(f"did not run: {line}")
    if left_out or ran == 0:
        print(f"{len(left_out)} tests did not run, {ran} ran: every test must run on this machine")
        return 1
    return 0


if __name__ == "__main__":
    sys.exit(main())
