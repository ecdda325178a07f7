#!/usr/bin/env python3
"""A whole run of ZEMLOUpdater.exe under Wine beside the platform's baselines.

Measured, in the same throwaway 32-bit prefix, several runs each:
  start -> question box   the updater (locate, probe, fingerprint) beside a
                          program that only shows a message box
  Yes -> closing box      the updater (replace both files, stamp them) beside a
                          program that only copies the same two files with
                          CopyFileA, and beside one that also flushes each copy
                          to disk as the updater does
The first is timed from starting Wine to the box's MessageBoxA call (polled every
10 ms); the second on Wine's own clock, from the question's return to the
closing box's call. The time the user takes to answer is not counted. Reports
medians and ratios.

    wine_run.py --exe EXE --standins DIR --release-exe F --release-scripts F [--runs N]
"""

import argparse
import shutil
import statistics
import subprocess
import sys
from pathlib import Path

sys.path.insert(0, str(Path(__file__).resolve().parent.parent / "tests" / "wine"))
import winehost  # noqa: E402

EXE_PATH = r"C:\Program Files\Kestramoor\ZEMLO\ZEMLO.exe"
SCRIPTS_PATH = r"C:\Program Files\Kestramoor\ZEMLO\System\Data\Scripts.zmdata"
TARGET = 1.2


def build(source, output, gui):
    flags = ["-mwindows"] if gui else []
    subprocess.run(["i686-w64-mingw32-gcc", "-O2", "-s", *flags, str(source), "-o", str(output)],
                   check=True)


def install(host, standins):
    host.install_editor(EXE_PATH, (standins / "editor-outdated.exe").read_bytes(),
                        (standins / "scripts-old.zmdata").read_bytes())


def yes_to_closing(run):
    question, closing = run.boxes[0], run.boxes[1]
    return closing.called_at - question.returned_at


def main():
    parser = argparse.ArgumentParser(description=__doc__,
                                     formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--exe", required=True)
    parser.add_argument("--standins", required=True)
    parser.add_argument("--release-exe", required=True)
    parser.add_argument("--release-scripts", required=True)
    parser.add_argument("--state", default="build/bench-wine")
    parser.add_argument("--runs", type=int, default=7)
    args = parser.parse_args()

    state = Path(args.state)
    standins = Path(args.standins)
    host = winehost.throwaway(state)
    box_only = state / "box-only.exe"
    copy_files = state / "copy-files.exe"
    here = Path(__file__).resolve().parent / "baselines"
    build(here / "BoxOnly.c", box_only, gui=True)
    build(here / "CopyFiles.c", copy_files, gui=False)
    source = host.drive_c / "release"
    source.mkdir()
    shutil.copy(args.release_exe, source / "ZEMLO.exe")
    shutil.copy(args.release_scripts, source / "Scripts.zmdata")
    host.set_association(f'"{EXE_PATH}" "%1"')

    times = {"updater start": [], "box only start": [], "updater yes": [], "copy yes": [],
             "copy+flush yes": []}
    try:
        for number in range(1, args.runs + 1):
            install(host, standins)
            run = host.run(args.exe, answers=[True])
            assert len(run.boxes) == 2, run.names()
            times["updater start"].append(run.first_box_after)
            times["updater yes"].append(yes_to_closing(run))

            run = host.run(box_only, answers=[False])
            times["box only start"].append(run.first_box_after)

            for mode, name in (("copy", "copy yes"), ("flush", "copy+flush yes")):
                install(host, standins)
                run = host.run(copy_files, answers=[True],
                               args=[mode, r"C:\release\ZEMLO.exe", r"C:\release\Scripts.zmdata",
                                     EXE_PATH, SCRIPTS_PATH])
                assert len(run.boxes) == 2 and run.exit_code == 0, run.exit_code
                times[name].append(yes_to_closing(run))
            print(f"run {number}: " + ", ".join(f"{k} {v[-1] * 1000:.0f} ms"
                                                for k, v in times.items()), flush=True)
    finally:
        host.shutdown()

    median = {k: statistics.median(v) for k, v in times.items()}
    print(f"\nMedians of {args.runs} runs under Wine:")
    for name, value in median.items():
        print(f"  {name:16} {value * 1000:7.0f} ms")
    for what, ours, base in (("start -> question box", "updater start", "box only start"),
                             ("Yes -> closing box", "updater yes", "copy yes"),
                             ("Yes -> closing box, durable", "updater yes", "copy+flush yes")):
        ratio = median[ours] / median[base]
        print(f"{what:28} {ratio:5.2f}x the baseline (target {TARGET}x: "
              f"{'met' if ratio <= TARGET else 'missed'})")
    return 0


if __name__ == "__main__":
    sys.exit(main())
