#!/usr/bin/env python3
"""scripts/release end to end, offline: first its rehearsal (--rehearse: the
stand-in release with two earlier releases, the key in a SoftHSM2 token of its
own, a throwaway PKI and the local time-stamping authority), which must pass
every stage but the tests (--no-tests: the suite has just passed on this tree),
one line a step, and place the program with a record that names every input,
sum and version. Then, with the rehearsal's release files, token and
certificates, the refusal table: each mistake a vendor can make is refused at
step 1, before any test or build, with one line that names the option at fault,
and the good release in --out stays byte for byte. A run interrupted during its
rebuild leaves no signed program anywhere and --out as it was; --out holding a
program is replaced only with --replace, which names what it replaced; --verify
accepts the program and refuses a copy with one byte changed and a program
built from other release files.

    end_to_end.py WORK
"""

import hashlib
import os
import re
import shutil
import signal
import subprocess
import sys
import time
from pathlib import Path

PROJECT = Path(__file__).resolve().parents[2]
sys.path.insert(0, str(PROJECT / "tools" / "release"))
import rehearsal  # noqa: E402 (the release command's own rehearsal material)

REHEARSAL = PROJECT / "build" / "release" / "rehearsal"
SIGNED = PROJECT / "build" / "release" / "signed" / "ZEMLOUpdater.exe"
failures = []


def check(condition, failure):
    if not condition:
        failures.append(failure)
    return condition


def release(what, *arguments, env=None):
    """scripts/release with the arguments; its output is shown under what it is for."""
    started = time.monotonic()
    result = subprocess.run([sys.executable, PROJECT / "scripts" / "release", *map(str, arguments)],
                            capture_output=True, text=True, env=env)
    result.seconds = time.monotonic() - started
    print(f"==== scripts/release: {what} (exit {result.returncode}, {result.seconds:.1f} s)\n"
          f"{result.stdout}{result.stderr}", flush=True)
    return result


def sha256(path):
    return hashlib.sha256(Path(path).read_bytes()).hexdigest()


def main():
    work = Path(sys.argv[1]).resolve()
    shutil.rmtree(work, ignore_errors=True)
    work.mkdir(parents=True)
    rehearsed = release("--rehearse", "--rehearse", "--no-tests")
    program, record = REHEARSAL / "out" / "ZEMLOUpdater.exe", \
        REHEARSAL / "out" / "ZEMLOUpdater.exe.release.txt"
    if not check(rehearsed.returncode == 0 and program.exists() and record.exists(),
                 f"the rehearsal did not succeed (exit {rehearsed.returncode})"):
        return report()
    check_rehearsal(rehearsed.stdout, program, record)
    pki = REHEARSAL / "pki"
    os.environ["SOFTHSM2_CONF"] = str(pki / "softhsm2.conf")
    authority = rehearsal.start_authority(pki)
    try:
        refusals(work, pki, program, record, f"http://127.0.0.1:{authority.server_address[1]}")
    finally:
        authority.shutdown()
    return report()


def report():
    for failure in failures:
        print("FAILED:", failure)
    if not failures:
        print("scripts/release end to end: every check passed")
    return 1 if failures else 0


def check_rehearsal(said, program, record):
    steps = re.findall(r"^release: \[(\d)/8\] .* done in \d+ s", said, re.M)
    check(steps == ["1", "3", "4", "5", "6", "7", "8"], f"the steps reported: {steps}")
    check("WARNING: --no-tests" in said, "--no-tests is not told as a warning")
    check(re.search(r"\[1/8\].*new release 2\.0\.0\.0, above 1\.0\.0\.0, 1\.1\.0\.0; token "
                    r"'ZEMLO Test', key 'code-signing'", said),
          "step 1 does not tell the releases' versions and the token's key")
    text = record.read_text()
    check(sha256(program) in text, "the record does not hold the program's SHA-256")
    for pattern in (r"earlier executable\s+\w{64}  0x1F73A4F0  outdated .*\(version 1\.0\.0\.0\)",
                    r"earlier executable\s+\w{64}  0x2B5F0C8E  outdated .*\(version 1\.1\.0\.0\)",
                    r"new executable\s+\w{64}  0x4A8ACBE4  current .*\(version 2\.0\.0\.0\)",
                    r"ZEMLO.exe\s+0x[0-9A-F]{8}", r"Scripts.zmdata\s+0x[0-9A-F]{8}",
                    r"^source\s+\S", r"^  compiler\s+i686-w64-mingw32-g\+\+-win32: ",
                    r"^  binutils\s+\S", r"^  zlib\s+\d", r"^  osslsigncode\s+osslsigncode",
                    r"^time stamp\s+\S.*, by http://127\.0\.0\.1:\d+/stamp$",
                    r"left out \(--no-tests\)"):
        check(re.search(pattern, text, re.M), f"the record lacks {pattern!r}")


def refusals(work, pki, program, record, authority):
    standins = REHEARSAL / "standins"
    new_exe = standins / "Update" / "images" / "standin" / "ZEMLO.exe"
    new_scripts = standins / "Update" / "images" / "standin" / "Scripts.zmdata"
    olds = [standins / "tests" / "standins" / f"old-release-{n}.exe" for n in (1, 2)]
    roots = ["--ca-file", pki / "root.pem", "--tsa-ca-file", pki / "root.pem"]
    out = REHEARSAL / "out"
    good_pair = (sha256(program), sha256(record))
    stamp = f"{authority}/stamp"
    module = next(m for m in rehearsal.SOFTHSM_MODULES if Path(m).exists())
    key = "pkcs11:token=ZEMLO%20Test;object=code-signing;type=private"

    # Certificates a vendor may be given by mistake, for the token's own key or not.
    (work / "wrong-pin.txt").write_text("135790\n")
    (work / "empty.txt").write_text("")
    expired = work / "expired.pem"
    made = subprocess.run(["openssl", "req", "-new", "-key", pki / "cert.key", "-subj",
                           "/CN=expired", "-out", work / "expired.csr"], capture_output=True)
    made = made.returncode == 0 and subprocess.run(
        ["openssl", "x509", "-req", "-in", work / "expired.csr", "-CA", pki / "root.pem", "-CAkey",
         pki / "root.key", "-days", "0", "-extfile", pki / "pki.cnf", "-extensions",
         "code_signing", "-out", expired], capture_output=True).returncode == 0
    check(made, "openssl could not make an expired certificate")
    time.sleep(1.1)  # a certificate that ends now has ended by the time it is checked

    def files(exe=new_exe, old=olds):
        listed = ["--exe", exe, "--scripts", new_scripts]
        for path in old:
            listed += ["--old", path]
        return listed

    def token(pin=pki / "pin.txt", uri=key, certs=pki / "chain.pem", urls=(stamp,),
              ca=pki / "root.pem"):
        signing = ["--pkcs11-module", module, "--key", uri, "--certs", certs, "--password-file", pin]
        for url in urls:
            signing += ["--timestamp-url", url]
        return [*signing, "--ca-file", ca, "--tsa-ca-file", pki / "root.pem", "--out", out]

    rows = [
        ("a wrong PIN", files() + token(pin=work / "wrong-pin.txt") + ["--replace"],
         "--password-file", "refused the PIN"),
        # The token now reports its PIN refused before (SoftHSM2 does, as tokens do):
        # the next run stops before spending another try, the right PIN or not.
        ("the right PIN once the token counts a refusal", files() + token() + ["--replace"],
         "--password-file", "has been refused before and has few tries left; nothing was tried"),
        ("an empty PIN file", files() + token(pin=work / "empty.txt") + ["--replace"],
         "--password-file", "its first line is empty"),
        ("a key URI that names no key", files() + token(uri=key.replace("code-signing", "nokey"))
         + ["--replace"], "--key", "its keys: 'code-signing' (id 01)"),
        ("a wrong token label", files() + token(uri=key.replace("ZEMLO%20Test", "Other%20Token"))
         + ["--replace"], "--key", "tokens present: 'ZEMLO Test'"),
        ("a certificate for another key", files() + token(certs=pki / "tsa.pem") + ["--replace"],
         "--certs", "not for key 'code-signing'"),
        ("an expired certificate", files() + token(certs=expired) + ["--replace"],
         "--certs", "expired on"),
        ("no authority answering", files() + token(urls=("http://127.0.0.1:9/stamp",
                                                         f"{authority}/nonsense")) + ["--replace"],
         "--timestamp-url", "http://127.0.0.1:9/stamp: "),
        ("a PIN in the key URI", files() + token(uri=key + ";pin-value=246810") + ["--replace"],
         "--key", "pin-value"),
        ("roots the certificate does not lead to", files() + token(ca=pki / "other.pem")
         + ["--replace"], "--ca-file", "does not lead to it"),
        ("a wrong PKCS#12 password", files() + [
            "--pkcs12", pki / "cert.p12", "--password-file", work / "wrong-pin.txt",
            "--timestamp-url", stamp, *roots, "--out", out, "--replace"],
         "--password-file", "does not open --pkcs12"),
        ("--exe and --old swapped", files(exe=olds[1], old=[new_exe]) + token() + ["--replace"],
         "--exe", "version 1.1.0.0, not newer than --old"),
        ("a missing earlier release", files(old=olds + [work / "no-such.exe"]) + token()
         + ["--replace"], "--old", "there is no such file"),
    ]
    for what, arguments, option, words in rows:
        refused = release(f"{what}, to be refused", *arguments)
        first = next((line for line in refused.stdout.splitlines()
                      if line.startswith("release: step 1 of 8 failed")), "")
        cause = first.split("): ", 1)[-1]
        check(refused.returncode == 1 and cause.startswith(option) and words in cause
              and "[2/8]" not in refused.stdout and "[3/8]" not in refused.stdout,
              f"{what}: not refused at step 1 with one line naming {option} ({words!r}): "
              f"{first!r}")
        check((sha256(program), sha256(record)) == good_pair and not SIGNED.exists(),
              f"{what}: the good release in --out changed, or a signed program was left")
        print(f"{what}: refused in {refused.seconds:.1f} s: {cause}")
        if what.startswith("the right PIN once"):
            # The vendor checks the PIN with the token's own tool: the count is reset.
            subprocess.run(["pkcs11-tool", "--module", module, "--token-label", "ZEMLO Test",
                            "--login", "--pin", "env:PIN", "--list-objects"],
                           env={**os.environ, "PIN": rehearsal.TOKEN_PIN}, capture_output=True,
                           check=True)
    # --out holding a program: refused without --replace, before step 1.
    kept = release("--out holding a program, without --replace", *files(), *token())
    check(kept.returncode == 1 and "--out" in kept.stdout and "already holds ZEMLOUpdater.exe"
          in kept.stdout and good_pair[0] in kept.stdout and "[1/8]" not in kept.stdout,
          "a program in --out was not refused without --replace, naming its SHA-256")

    # Interrupted during the rebuild: nothing signed anywhere, --out as it was.
    interrupted_run = subprocess.Popen(
        [sys.executable, PROJECT / "scripts" / "release", *map(str, files() + token()),
         "--replace", "--no-tests"], stdout=subprocess.PIPE, stderr=subprocess.STDOUT, text=True)
    said = ""
    while "[5/8]" not in said:  # a step's line ends only when the step does
        chunk = os.read(interrupted_run.stdout.fileno(), 4096).decode(errors="replace")
        if not chunk:
            break
        said += chunk
    time.sleep(2)
    interrupted_run.send_signal(signal.SIGINT)
    said += interrupted_run.stdout.read()
    interrupted_run.wait()
    print(f"==== scripts/release interrupted during its rebuild (exit {interrupted_run.returncode})\n"
          f"{said}")
    leftovers = [path for path in (PROJECT / "build" / "release").rglob("ZEMLOUpdater.exe*")
                 if "rehearsal" not in path.parts and "unsigned" not in path.parts
                 and "host" not in path.parts]
    check(interrupted_run.returncode != 0 and "interrupted by SIGINT" in said
          and not SIGNED.exists() and not leftovers
          and (sha256(program), sha256(record)) == good_pair,
          f"an interrupted run left {leftovers or 'nothing'} signed, or changed --out")

    # With --replace: replaced, and the program it replaced named.
    replaced = release("--out holding a program, with --replace", *files(), *token(), "--replace",
                       "--no-tests")
    check(replaced.returncode == 0 and f"replaced the program that was in {out} (SHA-256 "
          f"{good_pair[0]})" in replaced.stdout and sha256(program) != good_pair[0],
          "--replace did not replace the program and name the one it replaced")

    inputs = files() + ["--old-scripts", olds[0].with_suffix(".zmdata"),
                        "--old-scripts", olds[1].with_suffix(".zmdata")]
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
    check(refused.returncode != 0 and "is not this build" in refused.stdout
          and not damaged.with_name("damaged.exe.release.txt").exists(),
          f"--verify accepted a program with one byte changed (exit {refused.returncode})")

    other = release("--verify against other release files, to be refused", "--verify", program,
                    *files(old=olds[:1]), *roots, "--no-tests")
    check(other.returncode != 0 and "is not this build" in other.stdout,
          f"--verify accepted a program built from other release files (exit {other.returncode})")

    elsewhere = work / "elsewhere" / "ZEMLOUpdater.exe"
    elsewhere.parent.mkdir()
    shutil.copyfile(program, elsewhere)
    written = release("--verify of a program signed elsewhere, its record written beside it",
                      "--verify", elsewhere, *inputs, *roots, "--no-tests")
    beside = elsewhere.with_name("ZEMLOUpdater.exe.release.txt")
    check(written.returncode == 0 and beside.exists() and sha256(elsewhere) in beside.read_text(),
          "--verify did not write its record beside the program it verified")


if __name__ == "__main__":
    sys.exit(main())
