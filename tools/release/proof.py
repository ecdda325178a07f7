"""Building the program from the release files, testing it, and proving that a
signed program is that build byte for byte but for its signature."""

import os
import re
import shutil
import sys
from pathlib import Path

from steps import StepFailed, run

PROJECT = Path(__file__).resolve().parents[2]
WORK = PROJECT / "build" / "release"


def release_settings(args):
    """The cache settings that make a build of this release, in an initial-cache
    file's words, so that a list stays one setting."""
    return {
        "ZEMLO_RELEASE_EXE": args.exe.resolve(),
        "ZEMLO_RELEASE_SCRIPTS": args.scripts.resolve(),
        "ZEMLO_OLD_RELEASE_EXES": ";".join(str(old.resolve()) for old in args.old),
        "ZEMLO_OLD_RELEASE_SCRIPTS": ";".join(str(s.resolve()) for s in args.old_scripts),
        "ZEMLO_SUM_CURRENT": "",
        "ZEMLO_SUM_OUTDATED": "",
    }


def configure(preset, build, settings, log):
    """A fresh build folder configured with the preset and the settings."""
    shutil.rmtree(build, ignore_errors=True)
    build.mkdir(parents=True)
    init = build.parent / f"{build.name}-settings.cmake"
    init.write_text("".join(f'set({name} [==[{value}]==] CACHE STRING "" FORCE)\n'
                            for name, value in settings.items()))
    run(["cmake", "-C", init, "--preset", preset, "-B", build], log, cwd=PROJECT)


def build_program(build, settings, log):
    configure("windows", build, settings, log)
    run(["cmake", "--build", build, "--parallel"], log)
    return build / "ZEMLOUpdater.exe"


def compiler_of(build):
    """The C++ compiler a build used, as its cache names it, with its version line."""
    cache = (build / "CMakeCache.txt").read_text(errors="replace")
    found = re.search(r"^CMAKE_CXX_COMPILER:\w+=(.*)$", cache, re.M)
    return found.group(1).strip() if found else None


def test_release(args, logs):
    build = WORK / "host"
    configure("host", build, release_settings(args), logs / "test.log")
    run(["cmake", "--build", build, "--parallel"], logs / "test.log")
    run(["ctest", "--test-dir", build, "--parallel", str(os.cpu_count() or 2),
         "--output-on-failure", "--output-junit", build / "ctest.xml"], logs / "test.log")
    run([sys.executable, PROJECT / "tests" / "all_ran.py", build / "ctest.xml"], logs / "test.log")
    passed = re.findall(r"(\d+)% tests passed, 0 tests failed out of (\d+)",
                        (logs / "test.log").read_text(errors="replace"))
    return f"{passed[-1][1]} tests passed" if passed else "passed"


def prove_same_build(signed, unsigned, args, logs):
    """The signed program without its signature is the fresh build byte for byte,
    and a sound program file carrying the release."""
    stripped = WORK / "signature-removed.exe"
    stripped.unlink(missing_ok=True)
    try:
        run(["osslsigncode", "remove-signature", "-in", signed, "-out", stripped],
            logs / "prove.log")
        theirs, ours = stripped.read_bytes(), unsigned.read_bytes()
        if theirs != ours:
            differ = [i for i, (a, b) in enumerate(zip(theirs, ours)) if a != b]
            where = f"{len(differ)} of them differ, from byte {differ[0]} to {differ[-1]}" \
                if differ else "the shorter is the start of the longer"
            raise StepFailed(f"{signed} is not this build: without its signature it has "
                             f"{len(theirs)} bytes, this build {len(ours)}; {where}. It was "
                             "built from other sources or release files, or changed since.")
        run([sys.executable, PROJECT / "tests" / "program" / "check_program_file.py", stripped,
             PROJECT / "Update" / "resources" / "ZEMLOUpdater.ico", args.exe, args.scripts],
            logs / "prove.log")
    finally:
        stripped.unlink(missing_ok=True)
