#!/usr/bin/env python3
"""The main job, shown: a whole update of a stand-in installation under Wine.

A fresh 32-bit Wine prefix reporting Windows 10 gets a stand-in outdated editor
(registered through its project-file association); ZEMLOUpdater.exe runs there
on a virtual display, every box is printed in UTF-8 and saved as a screenshot,
and the confirmation is answered Yes. A second run then finds the editor already updated, and both
files' sizes and times are printed. A third run does the same on a system whose
ANSI code page is 1252, as on a Western Windows: the box reads the same.
"""

import argparse
import datetime
import os
import sys
from pathlib import Path

import winehost

EXE_PATH = r"C:\Program Files\Kestramoor\ZEMLO\ZEMLO.exe"
KINDS = {0x00: "MB_OK", 0x10: "MB_OK|MB_ICONERROR", 0x24: "MB_YESNO|MB_ICONQUESTION",
         0x30: "MB_OK|MB_ICONEXCLAMATION"}
ANSWERS = {1: "OK", 6: "Yes", 7: "No"}


def print_run(title, run, shots):
    print(f"\n== {title}")
    for number, box in enumerate(run.boxes, 1):
        answer = ANSWERS.get(box.answer, str(box.answer))
        print(f"  box {number}: [{box.caption.decode()}] {box.utf8()}  (MessageBox{box.api})")
        print(f"         {KINDS.get(box.kind, hex(box.kind))}, answered {answer}"
              f", screenshot {shots / f'box-{number}.png'}")
    print(f"  exit code {run.exit_code}")


def print_file(path):
    info = os.stat(path)  # before anything reads it: reading moves the access time
    def local(seconds):
        return datetime.datetime.fromtimestamp(seconds).astimezone().isoformat(" ", "milliseconds")
    print(f"  {path.name}: {info.st_size:,} bytes, last write {local(info.st_mtime)},"
          f" last access {local(info.st_atime)}")


def main():
    parser = argparse.ArgumentParser(description=__doc__)
    parser.add_argument("--exe", required=True, help="ZEMLOUpdater.exe")
    parser.add_argument("--standins", required=True, help="folder of the stand-in editor files")
    parser.add_argument("--state", required=True, help="folder for the throwaway prefix")
    args = parser.parse_args()

    state = Path(args.state)
    host = winehost.throwaway(state)
    try:
        exe_file, scripts_file = host.install_editor(
            EXE_PATH, (Path(args.standins) / "editor-outdated.exe").read_bytes(),
            (Path(args.standins) / "scripts-old.zmdata").read_bytes())
        host.set_association(f'"{EXE_PATH}" "%1"')
        print(f"Installed the outdated editor at {EXE_PATH}")

        shots = state / "screenshots" / "first-run"
        first = host.run(args.exe, answers=[True], screenshot_dir=shots)
        print_run("ZEMLOUpdater.exe, answering Yes", first, shots)
        print("\n== The installation afterwards (times in this machine's zone;"
              " Linux keeps no creation time)")
        print_file(exe_file)
        print_file(scripts_file)

        shots = state / "screenshots" / "second-run"
        second = host.run(args.exe, screenshot_dir=shots)
        print_run("ZEMLOUpdater.exe again", second, shots)

        shots = state / "screenshots" / "code-page-1252"
        western = host.run(args.exe, screenshot_dir=shots,
                           env={"LANG": "C.UTF-8", "LC_ALL": "C.UTF-8"})
        print_run("ZEMLOUpdater.exe again, under ANSI code page 1252", western, shots)
    finally:
        host.shutdown()
    if any(run.exit_code != 0 or not run.boxes for run in (first, second, western)):
        print("The updater did not run as expected; see the run-*.log files in", state)
        return 1
    return 0


if __name__ == "__main__":
    sys.exit(main())
