#!/usr/bin/env python3
"""End-to-end scenarios: the real ZEMLOUpdater.exe under Wine.

    scenarios.py --state DIR prepare [--windows-build DIR]
    scenarios.py --state DIR --exe EXE --standins DIR run NAME
    scenarios.py --state DIR shutdown
    scenarios.py list

Each scenario installs a stand-in editor in the shared prefix (files under its
drive_c, the association through the registry), runs the updater, answers its
boxes and compares the recorded MessageBoxA calls byte for byte.
"""

import argparse
import shutil
import subprocess
import sys
from pathlib import Path

import winehost
from winehost import expected_box

DEFAULT_EXE = r"C:\Program Files\Kestramoor\ZEMLO\ZEMLO.exe"
TOOLS_EXE = r"C:\Tools\ZEMLO\ZEMLO.exe"
SCRIPTS_TAIL = r"System\Data\Scripts.zmdata"

SCENARIOS = {}


def scenario(function):
    SCENARIOS[function.__name__] = function
    return function


class Failure(Exception):
    pass


class Context:
    def __init__(self, host, exe, standins):
        self.host = host
        self.exe = exe
        self.standins = Path(standins)

    def standin(self, name):
        return (self.standins / name).read_bytes()

    def clean(self):
        """No editor anywhere: no association, no folders."""
        for folder in (r"C:\Program Files\Kestramoor", r"C:\Tools"):
            path = self.host.host_path(folder)
            if path.exists():
                subprocess.run(["chattr", "-R", "-i", str(path)], stderr=subprocess.DEVNULL)
                shutil.rmtree(path)
        self.host.set_association(None)

    def install(self, exe_path, exe_bytes, scripts_bytes, associate=True):
        """Puts the editor at exe_path with its script archive (None: missing)."""
        self.clean()
        exe_file = self.host.host_path(exe_path)
        exe_file.parent.mkdir(parents=True, exist_ok=True)
        if exe_bytes is not None:
            exe_file.write_bytes(exe_bytes)
        if scripts_bytes is not None:
            scripts_file = self.scripts_file(exe_path)
            scripts_file.parent.mkdir(parents=True, exist_ok=True)
            scripts_file.write_bytes(scripts_bytes)
        if associate:
            self.host.set_association(f'"{exe_path}" "%1"')
        return exe_file

    def scripts_file(self, exe_path):
        return self.host.host_path(exe_path).parent.joinpath(*SCRIPTS_TAIL.split("\\"))

    def run(self, *expected, answers=()):
        """Runs the updater and checks its boxes and exit code."""
        result = self.host.run(self.exe, answers=answers)
        wanted = [expected_box(name) for name in expected]
        if result.shown() != wanted:
            raise Failure(f"boxes shown: {result.names()}\n          wanted: {list(expected)}\n"
                          f"          bytes: {[b.text for b in result.boxes]}")
        for box in result.boxes:
            if box.owner != 0:
                raise Failure(f"box has owner window {box.owner:#x}")
        if result.exit_code != 0:
            raise Failure(f"exit code {result.exit_code}")
        return result


def check_same(path, expected, what):
    actual = Path(path).read_bytes() if Path(path).exists() else None
    if actual != expected:
        raise Failure(f"{what} changed (now {None if actual is None else len(actual)} bytes)")


# ---- version check --------------------------------------------------------------

@scenario
def not_installed(ctx):
    ctx.clean()
    ctx.run("MsgNotInstalled")


@scenario
def program_files_fallback(ctx):
    ctx.install(DEFAULT_EXE, ctx.standin("editor-current.exe"), ctx.standin("scripts-old.zmdata"),
                associate=False)
    ctx.run("MsgAlreadyUpdated")


@scenario
def association_to_another_program_falls_back(ctx):
    ctx.install(DEFAULT_EXE, ctx.standin("editor-unknown.exe"), ctx.standin("scripts-old.zmdata"),
                associate=False)
    other = ctx.host.host_path(r"C:\Tools\Other\Other.exe")
    other.parent.mkdir(parents=True, exist_ok=True)
    other.write_bytes(ctx.standin("editor-current.exe"))
    ctx.host.set_association(r'"C:\Tools\Other\Other.exe" "%1"')
    ctx.run("MsgUnrecognisedVersion")


@scenario
def outdated_answer_no(ctx):
    old_exe = ctx.standin("editor-outdated.exe")
    old_scripts = ctx.standin("scripts-old.zmdata")
    exe_file = ctx.install(TOOLS_EXE, old_exe, old_scripts)
    ctx.run("MsgConfirmUpdate", answers=[False])
    check_same(exe_file, old_exe, "ZEMLO.exe")
    check_same(ctx.scripts_file(TOOLS_EXE), old_scripts, "Scripts.zmdata")


@scenario
def already_current(ctx):
    ctx.install(TOOLS_EXE, ctx.standin("editor-current.exe"), ctx.standin("scripts-old.zmdata"))
    ctx.run("MsgAlreadyUpdated")


@scenario
def unrecognised(ctx):
    ctx.install(TOOLS_EXE, ctx.standin("editor-unknown.exe"), ctx.standin("scripts-old.zmdata"))
    ctx.run("MsgUnrecognisedVersion")


@scenario
def unquoted_association(ctx):
    ctx.install(TOOLS_EXE, ctx.standin("editor-current.exe"), ctx.standin("scripts-old.zmdata"),
                associate=False)
    ctx.host.set_association(TOOLS_EXE + ' "%1"')
    ctx.run("MsgAlreadyUpdated")


@scenario
def expandable_association_is_ignored(ctx):
    ctx.install(TOOLS_EXE, ctx.standin("editor-current.exe"), ctx.standin("scripts-old.zmdata"),
                associate=False)
    ctx.host.set_association(f'"{TOOLS_EXE}" "%1"', kind="REG_EXPAND_SZ")
    ctx.run("MsgNotInstalled")


@scenario
def scripts_missing(ctx):
    ctx.install(TOOLS_EXE, ctx.standin("editor-current.exe"), None)
    ctx.run("MsgScriptsReadFailed")


@scenario
def exe_unreadable(ctx):
    # Something named ZEMLO.exe exists but cannot be opened as a file: a folder.
    ctx.install(TOOLS_EXE, None, ctx.standin("scripts-old.zmdata"))
    ctx.host.host_path(TOOLS_EXE).mkdir()
    ctx.run("MsgExeReadFailed")


def main():
    parser = argparse.ArgumentParser(description=__doc__,
                                     formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--state", help="folder for the prefix, display and logs")
    parser.add_argument("--exe", help="ZEMLOUpdater.exe to test")
    parser.add_argument("--standins", help="folder of the stand-in editor files")
    sub = parser.add_subparsers(dest="command", required=True)
    prepare = sub.add_parser("prepare")
    prepare.add_argument("--windows-build", help="build this Windows build folder first")
    prepare.add_argument("--source", help="source folder, to configure the Windows build")
    sub.add_parser("shutdown")
    sub.add_parser("list")
    run = sub.add_parser("run")
    run.add_argument("name", choices=sorted(SCENARIOS))
    args = parser.parse_args()

    if args.command == "list":
        print(";".join(SCENARIOS))
        return 0
    host = winehost.WineHost(args.state)
    if args.command == "prepare":
        winehost.require_tools()
        if args.windows_build:
            build = Path(args.windows_build)
            if not (build / "CMakeCache.txt").exists():
                subprocess.run(["cmake", "--preset", "windows", "-B", str(build)], cwd=args.source,
                               check=True)
            subprocess.run(["cmake", "--build", str(build), "--parallel"], check=True)
        host.prepare()
        return 0
    if args.command == "shutdown":
        host.shutdown()
        return 0

    host.prepare()  # a no-op when the fixture already did it
    try:
        SCENARIOS[args.name](Context(host, args.exe, args.standins))
    except Failure as failure:
        print(f"FAILED {args.name}: {failure}")
        return 1
    print(f"passed {args.name}")
    return 0


if __name__ == "__main__":
    sys.exit(main())
