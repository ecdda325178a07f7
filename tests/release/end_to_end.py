#!/usr/bin/env python3
"""scripts/release end to end, offline, on the stand-in release of a host build:
two earlier releases, the key in a SoftHSM2 token of its own, a throwaway PKI and
the local time-stamping authority of the signing test. The release must pass every
stage but the tests (--no-tests: the suite has just passed on this tree), with one
line a step, and write the program with a record that names every input and sum;
--verify must accept that program and refuse a copy with one byte changed and a
program built from other release files. A missing input is refused by name
before anything is built, and a wrong PIN stops the release at its signing step
with no program left.

    end_to_end.py HOST_BUILD WORK
"""

import hashlib
import re
import shutil
import subprocess
import sys
from pathlib import Path

sys.path.insert(0, str(Path(__file__).resolve().parent))
import signed_build  # noqa: E402 (beside this file)

PROJECT = Path(__file__).resolve().parents[2]
failures = []


def check(condition, failure):
    if not condition:
        failures.append(failure)
    return condition


def release(what, *arguments):
    """scripts/release with the arguments; its output is shown under what it is for."""
    result = subprocess.run([sys.executable, PROJECT / "scripts" / "release", *map(str, arguments)],
                            capture_output=True, text=True)
    print(f"==== scripts/release: {what} (exit {result.returncode})\n{result.stdout}{result.stderr}")
    return result


def main():
    host, work = Path(sys.argv[1]).resolve(), Path(sys.argv[2]).resolve()
    shutil.rmtree(work, ignore_errors=True)
    work.mkdir(parents=True)
    (work / "password.txt").write_text("unused\n")
    if not signed_build.make_pki(work):
        print("FAILED: openssl could not make the throwaway certificates")
        return 1
    token = signed_build.make_token(work)
    if token is None:
        print("FAILED: no SoftHSM2 token could be made (scripts/setup installs softhsm2)")
        return 1
    authority = signed_build.start_authority(work)
    try:
        run(host, work, token, f"http://127.0.0.1:{authority.server_address[1]}/stamp")
    finally:
        authority.shutdown()
    for failure in failures:
        print("FAILED:", failure)
    if not failures:
        print("scripts/release end to end: every check passed")
    return 1 if failures else 0


def run(host, work, token, stamp_url):
    standins = host / "tests" / "standins"

    def release_files(*earlier):
        files = ["--exe", host / "Update" / "images" / "standin" / "ZEMLO.exe",
                 "--scripts", host / "Update" / "images" / "standin" / "Scripts.zmdata"]
        for n in earlier:
            files += ["--old", standins / f"old-release-{n}.exe",
                      "--old-scripts", standins / f"old-release-{n}.zmdata"]
        return files
    inputs = release_files(1, 2)
    roots = ["--ca-file", work / "root.pem", "--tsa-ca-file", work / "root.pem"]
    module, key = token
    out = work / "out"
    program, record = out / "ZEMLOUpdater.exe", out / "ZEMLOUpdater.exe.release.txt"

    def signed_with(what, pin, *files):
        return release(what, *files, *roots, "--pkcs11-module", module, "--key", key, "--certs",
                       work / "chain.pem", "--password-file", pin, "--timestamp-url", stamp_url,
                       "--out", out, "--no-tests")

    missing = signed_with("a missing earlier release, to be refused", work / "pin.txt", *inputs,
                          "--old", work / "no-such.exe")
    check(missing.returncode != 0 and f"--old {work / 'no-such.exe'}: there is no such file"
          in missing.stdout and "[3/8]" not in missing.stdout,
          "a missing earlier release was not refused by name before the build")
    (work / "wrong-pin.txt").write_text("135790\n")
    wrong = signed_with("a wrong PIN, to be refused", work / "wrong-pin.txt", *inputs)
    check(wrong.returncode != 0 and "step 3 of 8 failed" in wrong.stdout
          and not program.exists() and not (PROJECT / "build" / "release" / "signed" / "ZEMLOUpdater.exe").exists(),
          "a wrong PIN did not stop the release at its signing step, with no program left")

    made = signed_with("the release", work / "pin.txt", *inputs)
    if not check(made.returncode == 0 and program.exists() and record.exists(),
                 f"the release did not succeed (exit {made.returncode})"):
        return
    steps = re.findall(r"^release: \[(\d)/8\] .* done in \d+ s", made.stdout, re.M)
    check(steps == ["1", "3", "4", "5", "6", "7", "8"], f"the steps reported: {steps}")
    check("WARNING: --no-tests" in made.stdout, "--no-tests is not told as a warning")
    text = record.read_text()
    check(sha256(program) in text, "the record does not hold the program's SHA-256")
    for pattern in (r"earlier executable\s+\w{64}  0x1F73A4F0  outdated",
                    r"earlier executable\s+\w{64}  0x2B5F0C8E  outdated",
                    r"new executable\s+\w{64}  0x4A8ACBE4  current", r"ZEMLO.exe\s+0x[0-9A-F]{8}",
                    r"Scripts.zmdata\s+0x[0-9A-F]{8}", r"^source\s+\S", r"^  compiler\s+\S",
                    r"^  binutils\s+\S", r"^  zlib\s+\d", r"^  osslsigncode\s+osslsigncode",
                    r"^time stamp\s+\S", r"left out \(--no-tests\)"):
        check(re.search(pattern, text, re.M), f"the record lacks {pattern!r}")

    verified = release("--verify of the released program", "--verify", program, *inputs, *roots,
                       "--no-tests")
    check(verified.returncode == 0 and sha256(program) in verified.stdout,
          f"--verify refused the released program (exit {verified.returncode})")

    damaged = work / "damaged.exe"
    data = bytearray(program.read_bytes())
    data[len(data) // 2] ^= 0x01
    damaged.write_bytes(data)
    refused = release("--verify of a copy with one byte changed, to be refused", "--verify",
                      damaged, *inputs, *roots, "--no-tests")
    check(refused.returncode != 0 and "is not this build" in refused.stdout,
          f"--verify accepted a program with one byte changed (exit {refused.returncode})")

    other = release("--verify against other release files, to be refused", "--verify", program,
                    *release_files(1), *roots, "--no-tests")
    check(other.returncode != 0 and "is not this build" in other.stdout,
          f"--verify accepted a program built from other release files (exit {other.returncode})")


def sha256(path):
    return hashlib.sha256(Path(path).read_bytes()).hexdigest()


if __name__ == "__main__":
    sys.exit(main())
