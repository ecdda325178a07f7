#!/usr/bin/env python3
"""A whole run of ZEMLOUpdater.exe under Wine beside the platform's baselines.

Measured in one throwaway 32-bit prefix reporting Windows 10, on an
installation whose editor executable is 3 MiB, the programs' runs interleaved:
  start-up      start -> first box on screen, taking keys (polled with xdotool),
                and start -> the first box's MessageBoxA call (the relay trace,
                polled every 10 ms): the updater beside a program that only
                shows the box
  check phase   association lookup -> question box: the updater (locate, probe,
                fingerprint) beside a program that looks up the same association
                and reads the executable once with 64 KiB fread blocks
  update phase  Yes -> closing box: the updater (replace both files, stamp them)
                beside a program that does the same staged write plainly: 64 KiB
                fwrite blocks to a temporary file, flush to disk, rename over,
                the same stamps
The two phases are timed on Wine's own clock from its relay trace
(RegOpenKeyEx and MessageBox calls, the question's return), so the time the
user takes to answer is not counted. Each figure is the central mean of the runs
(the middle half of them, averaged).

    wine_run.py --exe EXE --editor OUTDATED_EXE --standins DIR --release-exe F
                --release-scripts F [--runs N]

With --peer PEER (an updater built by NSIS from the same release files, see
peer/ZEMLOPeer.nsi), the updater is measured beside that peer instead, on the
installed stand-in editor, in turns (which one goes first alternates):
  start-up      the first relay line of the run -> the question box's call
  update phase  Yes -> the closing box's call, as above
After every run of either, both files must hold the release's bytes and the
release's stamp, with nothing else left in their folders: neither side can win
by doing less.

    wine_run.py --peer PEER --exe EXE --standins DIR --release-exe F
                --release-scripts F [--runs N]
"""

import argparse
import re
import shutil
import statistics
import subprocess
import sys
from pathlib import Path

sys.path.insert(0, str(Path(__file__).resolve().parent.parent / "tests" / "wine"))
import scenarios  # noqa: E402
import winehost  # noqa: E402

EXE_PATH = r"C:\Program Files\Kestramoor\ZEMLO\ZEMLO.exe"
SCRIPTS_PATH = r"C:\Program Files\Kestramoor\ZEMLO\System\Data\Scripts.zmdata"
TARGETS = {"start-up, box shown": 1.2, "start-up, box call": 1.2, "check phase": 1.3,
           "update phase": 1.1}
# The association's lookup, by the ANSI or the wide function: not Wine's own.
_LOOKUP = re.compile(rb"^(\d+\.\d+):[0-9a-fA-F]+:Call advapi32\.RegOpenKeyEx[AW]\("
                     rb"[^)]*ZEMLO\.Project", re.MULTILINE)


def build(source, output, gui):
    flags = ["-mwindows"] if gui else []
    subprocess.run(["i686-w64-mingw32-gcc", "-O2", "-s", *flags, str(source), "-o", str(output)],
                   check=True)


def check_phase(run):
    """From the association lookup to the question box, on Wine's clock."""
    lookup = float(_LOOKUP.search(run.log.encode()).group(1))
    return run.boxes[0].called_at - lookup


def update_phase(run):
    question, closing = run.boxes[0], run.boxes[1]
    return closing.called_at - question.returned_at


def start_up(run):
    """From the run's first relay line to the first box's call, on Wine's clock."""
    return run.boxes[0].called_at - float(re.match(r"(\d+\.\d+):", run.log).group(1))


def beside_peer(host, args):
    """The updater and the peer in turns, each checked after every run."""
    host.set_association(f'"{EXE_PATH}" "%1"')
    editor = (Path(args.standins) / "editor-outdated.exe").read_bytes()
    scripts = (Path(args.standins) / "scripts-old.zmdata").read_bytes()
    new_exe, new_scripts = Path(args.release_exe).read_bytes(), Path(args.release_scripts).read_bytes()
    programs = {"updater": args.exe, "peer": args.peer}
    times = {(phase, who): [] for phase in ("start-up", "update phase") for who in programs}
    for number in range(1, args.runs + 1):
        turns = list(programs) if number % 2 else list(reversed(programs))
        for who in turns:
            exe_file, scripts_file = host.install_editor(EXE_PATH, editor, scripts)
            run = host.run(programs[who], answers=[True], env={"TZ": "UTC"})
            if len(run.boxes) != 2 or run.exit_code != 0:
                raise scenarios.Failure(f"the {who}'s run {number} showed {len(run.boxes)} boxes "
                                        f"and exited with {run.exit_code}")
            scenarios.check_release_in_place(exe_file, scripts_file, new_exe, new_scripts,
                                             f"the {who}")
            times["start-up", who].append(start_up(run))
            times["update phase", who].append(update_phase(run))
        print(f"run {number}: " + ", ".join(f"{phase} {who} {v[-1] * 1000:.0f} ms"
                                            for (phase, who), v in times.items()), flush=True)
    print(f"\nCentral means of {args.runs} runs under Wine ({len(new_exe):,} + {len(new_scripts):,} "
          f"bytes), every run checked:")
    for phase in ("start-up", "update phase"):
        ours, peer = (central_mean(times[phase, who]) for who in programs)
        print(f"  {phase:13} updater {ours * 1000:7.1f} ms, peer {peer * 1000:7.1f} ms: "
              f"{ours / peer:5.2f}x")


def central_mean(values):
    ordered = sorted(values)
    quarter = len(ordered) // 4
    return statistics.mean(ordered[quarter:len(ordered) - quarter])


def main():
    parser = argparse.ArgumentParser(description=__doc__,
                                     formatter_class=argparse.RawDescriptionHelpFormatter)
    for name in ("exe", "standins", "release-exe", "release-scripts"):
        parser.add_argument(f"--{name}", required=True)
    parser.add_argument("--editor", help="the installed editor of the baselines' runs")
    parser.add_argument("--peer", help="an updater built by NSIS, measured instead of the baselines")
    parser.add_argument("--state", default="build/bench-wine")
    parser.add_argument("--runs", type=int, default=9)
    args = parser.parse_args()
    if (args.peer is None) == (args.editor is None):
        parser.error("give either --editor (beside the baselines) or --peer")

    state = Path(args.state)
    host = winehost.throwaway(state)
    if args.peer is not None:
        try:
            beside_peer(host, args)
        except scenarios.Failure as failure:
            print(f"FAILED: {failure}")
            return 1
        finally:
            host.shutdown()
        return 0
    here = Path(__file__).resolve().parent / "baselines"
    box_only, read_then_ask, staged_write = (state / n for n in
                                             ("box-only.exe", "read-then-ask.exe", "staged-write.exe"))
    build(here / "BoxOnly.c", box_only, gui=True)
    build(here / "ReadThenAsk.c", read_then_ask, gui=True)
    build(here / "StagedWrite.c", staged_write, gui=False)
    source = host.drive_c / "release"
    source.mkdir()
    shutil.copy(args.release_exe, source / "ZEMLO.exe")
    shutil.copy(args.release_scripts, source / "Scripts.zmdata")
    host.set_association(f'"{EXE_PATH}" "%1"')
    editor = Path(args.editor).read_bytes()
    scripts = (Path(args.standins) / "scripts-old.zmdata").read_bytes()

    def install():
        host.install_editor(EXE_PATH, editor, scripts)

    times = {(phase, who): [] for phase in TARGETS for who in ("updater", "baseline")}
    try:
        for number in range(1, args.runs + 1):
            install()
            run = host.run(args.exe, answers=[True])
            assert run.names() == ["MsgConfirmUpdate", "MsgUpdateDone"], run.names()
            times["start-up, box shown", "updater"].append(run.first_box_shown_after)
            times["start-up, box call", "updater"].append(run.first_box_after)
            times["check phase", "updater"].append(check_phase(run))
            times["update phase", "updater"].append(update_phase(run))

            run = host.run(box_only)
            times["start-up, box shown", "baseline"].append(run.first_box_shown_after)
            times["start-up, box call", "baseline"].append(run.first_box_after)
            install()
            times["check phase", "baseline"].append(check_phase(host.run(read_then_ask)))
            run = host.run(staged_write, answers=[True],
                           args=[r"C:\release\ZEMLO.exe", r"C:\release\Scripts.zmdata",
                                 EXE_PATH, SCRIPTS_PATH])
            assert len(run.boxes) == 2 and run.exit_code == 0, run.exit_code
            times["update phase", "baseline"].append(update_phase(run))
            print(f"run {number}: " + ", ".join(f"{phase} {who} {v[-1] * 1000:.0f} ms"
                                                for (phase, who), v in times.items()), flush=True)
    finally:
        host.shutdown()

    print(f"\nCentral means of {args.runs} runs under Wine ({len(editor):,}-byte executable):")
    for phase, target in TARGETS.items():
        ours, base = (central_mean(times[phase, who]) for who in ("updater", "baseline"))
        ratio = ours / base
        print(f"  {phase:19} updater {ours * 1000:7.1f} ms, baseline {base * 1000:7.1f} ms: "
              f"{ratio:5.2f}x (target {target}x: {'met' if ratio <= target else 'missed'})")
    return 0


if __name__ == "__main__":
    sys.exit(main())
