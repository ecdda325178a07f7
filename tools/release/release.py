"""One command from the release files to a signed, verified ZEMLOUpdater.exe and
its release record.

  scripts/release --exe NEW/ZEMLO.exe --scripts NEW/Scripts.zmdata
                  --old OLD/ZEMLO.exe [--old ...] [--old-scripts OLD/Scripts.zmdata ...]
                  (--pkcs12 FILE | --pkcs11-module MODULE.so --key PKCS11-URI --certs CHAIN)
                  --password-file FILE --timestamp-url URL [--timestamp-url URL ...]
                  [--ca-file PEM] [--tsa-ca-file PEM] [--out DIR] [--replace] [--no-tests]

  scripts/release --verify SIGNED.exe --exe ... --scripts ... --old ... [--old-scripts ...]
                  [--ca-file PEM] [--tsa-ca-file PEM] [--no-tests]

  scripts/release --rehearse [--no-tests]

The first checks every input and proves every signing input (pre-flight: the
token, its PIN, the key and its certificate, the time-stamping authorities), tests
the release (every test, native and Wine, against these files), builds and signs
the program, verifies its signature and time stamp (also after the certificate
expires), builds it again in a fresh folder and proves the signed program is that
build byte for byte but for its signature, writes the release record, and only
then places the program and its record in the output folder (build/release/out).
The second tests the release the same way, then proves and verifies a program
signed elsewhere (signtool on Windows) and writes its record beside it. The third
runs the first offline on the stand-in release, with a throwaway SoftHSM2 token,
a test certificate and a local time-stamping authority, into
build/release/rehearsal/out. --no-tests leaves the test stage out, with a warning.

One line a step. A step that fails stops the run with one line that names the
option or input at fault; a run that fails or is interrupted (Ctrl-C, SIGTERM)
leaves no signed program anywhere and the output folder as it was.
"""

import argparse
import shutil
import subprocess
import sys
from pathlib import Path

import placing
import preflight
import rehearsal
import signing
from inputs import check_inputs, check_release_order
from proof import PROJECT, WORK, build_program, compiler_of, prove_same_build, \
    release_settings, test_release
from record import release_record
from steps import Interrupted, StepFailed, end_on_signals, run, say, step


def release(args, logs):
    steps = 8
    signed_build = WORK / "signed"
    signed = signed_build / "ZEMLOUpdater.exe"
    out = args.out.resolve()
    signed.unlink(missing_ok=True)
    try:
        replaced = placing.check_output(out, args.replace)
    except StepFailed as failure:
        say(str(failure))
        say(f"nothing was done; {out} was left as it was")
        return 1
    try:
        step(1, steps, "checking the inputs, the order of the releases and every signing "
                       "input (pre-flight)", lambda: check_everything(args))
        tests = tests_stage(2, steps, args, logs)
        _, authority = step(3, steps, "building and signing the program",
                            lambda: signing.sign(signed_build, args, logs / "sign.log"))
        said, expiry = step(4, steps, "verifying its signature and time stamp, now and a day "
                                      "after the certificate expires",
                            lambda: signing.verify_all(signed, args))
        unsigned = step(5, steps, "building it again in a fresh folder",
                        lambda: build_program(WORK / "unsigned", release_settings(args),
                                              logs / "rebuild.log"))
        step(6, steps, "proving the signed program is that build, but for its signature",
             lambda: prove_same_build(signed, unsigned, args, logs))
        text = step(7, steps, "writing the release record",
                    lambda: release_record(signed, args, signed_build / "release-sums.txt", said,
                                           expiry, tests, authority, compiler_of(signed_build)))
        shipped, record = step(8, steps, f"placing the program and its record in {out}",
                               lambda: placing.place(signed, text, out))
    except BaseException as failure:  # a step's, an interruption, or a fault of this command
        if isinstance(failure, Interrupted):
            say(f"interrupted by {failure}")
        elif not isinstance(failure, StepFailed):
            say(f"failed unexpectedly: {failure!r}")
        remove_signed(signed)
        say(f"no signed program was left in {WORK}; {left_in(out, replaced)}")
        if isinstance(failure, StepFailed):
            return 1
        raise
    finally:
        remove_signed(signed)
    print(text, end="")
    if replaced:
        say(f"replaced the program that was in {out} (SHA-256 {replaced})")
    say(f"ship {shipped} with {record.name}")
    return 0


def check_inputs_and_order(args):
    """What step 1's line says of the order of the releases."""
    check_inputs(args)
    return check_release_order(args)


def check_everything(args):
    """Step 1 of a release: the inputs, their order and the signing inputs."""
    return f"{check_inputs_and_order(args)}; {preflight.preflight(args)}"


def remove_signed(signed):
    """The signed program, and what signing had under way beside it when it was
    cut off (ZEMLOUpdater.exe.signed, .stamped)."""
    for path in signed.parent.glob(signed.name + "*") if signed.parent.exists() else ():
        path.unlink(missing_ok=True)


def left_in(out, before):
    """What a failed run says of the output folder, as it finds it."""
    program = out / placing.PROGRAM
    now = placing.sha256(program) if program.exists() else None
    if now == before:
        return f"{out} was left as it was" + (f" (its program: SHA-256 {before})" if before else "")
    return f"{out} holds the new program (SHA-256 {now}); its record is put beside it by the " \
        "next run"


def verify_elsewhere(args, logs):
    steps = 6
    try:
        step(1, steps, "checking the inputs and the order of the releases",
             lambda: check_inputs_and_order(args))
        tests = tests_stage(2, steps, args, logs)
        unsigned = step(3, steps, "building the program from these release files",
                        lambda: build_program(WORK / "unsigned", release_settings(args),
                                              logs / "rebuild.log"))
        step(4, steps, f"proving {args.verify.name} is that build, but for its signature",
             lambda: prove_same_build(args.verify, unsigned, args, logs))
        said, expiry = step(5, steps, "verifying its signature and time stamp, now and a day "
                                      "after the certificate expires",
                            lambda: signing.verify_all(args.verify, args))
        record = args.verify.resolve().with_name(args.verify.name + ".release.txt")
        text = release_record(args.verify, args, WORK / "unsigned" / "release-sums.txt", said,
                              expiry, tests, "not known (signed elsewhere)",
                              compiler_of(WORK / "unsigned"))
        step(6, steps, f"writing its record, {record}", lambda: write_verified_record(record, text,
                                                                                args.verify))
    except StepFailed:
        say(f"{args.verify} is not a verified release of these files")
        return 1
    print(text, end="")
    return 0


def write_verified_record(record, text, program):
    """Writes the record beside the program, unless a record there already names
    this very program (the one its release wrote): that one is kept."""
    if record.exists() and placing.sha256(program) in record.read_text(errors="replace"):
        return "kept the record already there, which names this program"
    record.write_text(text)
    return f"written beside {program.name}"


def tests_stage(number, steps, args, logs):
    """The test stage, or a warning line where --no-tests leaves it out."""
    if args.no_tests:
        say("WARNING: --no-tests: the test stage is left out; ship only a tree on which the "
            "whole suite has passed")
        return "left out (--no-tests)"
    return step(number, steps, "testing the release: every test, native and Wine",
                lambda: test_release(args, logs))


def rehearse(args, logs):
    """The whole release offline on the stand-in release: its files from a build of
    their own, the key in a throwaway SoftHSM2 token, a test certificate, the
    local time-stamping authority, into a folder of its own."""
    folder = WORK / "rehearsal"
    shutil.rmtree(folder, ignore_errors=True)
    (folder / "pki").mkdir(parents=True)
    build = folder / "standins"
    say(f"rehearsal: making the stand-in release and a throwaway PKI and token in {folder}")
    run(["cmake", "--preset", "host", "-B", build, "-DZEMLO_LINT=OFF"], logs / "rehearsal.log",
        cwd=PROJECT)
    run(["cmake", "--build", build, "--parallel", "--target", "zemlo-test-standins",
         "zemlo_release_images"], logs / "rehearsal.log")
    pki = folder / "pki"
    (pki / "password.txt").write_text("rehearsal\n")
    if not rehearsal.make_pki(pki):
        raise StepFailed("rehearsal: openssl could not make the throwaway certificates")
    token = rehearsal.make_token(pki)
    if token is None:
        raise StepFailed("rehearsal: no SoftHSM2 token could be made (scripts/setup installs "
                         "softhsm2)")
    authority = rehearsal.start_authority(pki)
    try:
        standins = build / "tests" / "standins"
        args.exe = build / "Update" / "images" / "standin" / "ZEMLO.exe"
        args.scripts = build / "Update" / "images" / "standin" / "Scripts.zmdata"
        args.old = [standins / "old-release-1.exe", standins / "old-release-2.exe"]
        args.old_scripts = [standins / "old-release-1.zmdata", standins / "old-release-2.zmdata"]
        args.pkcs11_module, args.key = Path(token[0]), token[1]
        args.certs, args.password_file = pki / "chain.pem", pki / "pin.txt"
        args.ca_file = args.tsa_ca_file = pki / "root.pem"
        args.timestamp_url = [f"http://127.0.0.1:{authority.server_address[1]}/stamp"]
        args.out, args.replace = folder / "out", False
        say("rehearsal: the release command as the vendor would give it:")
        print("  scripts/release " + " ".join(
            [f"--exe {args.exe}", f"--scripts {args.scripts}"]
            + [f"--old {old} --old-scripts {s}" for old, s in zip(args.old, args.old_scripts)]
            + [f"--pkcs11-module {args.pkcs11_module}", f"--key '{args.key}'",
               f"--certs {args.certs}", f"--password-file {args.password_file}",
               f"--timestamp-url {args.timestamp_url[0]}", f"--ca-file {args.ca_file}",
               f"--tsa-ca-file {args.tsa_ca_file}", f"--out {args.out}"]
            + (["--no-tests"] if args.no_tests else [])), flush=True)
        return release(args, logs)
    finally:
        authority.shutdown()


def parse_arguments():
    parser = argparse.ArgumentParser(prog="scripts/release", description=__doc__,
                                     formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--exe", type=Path, help="the new editor executable")
    parser.add_argument("--scripts", type=Path, help="the new script archive")
    parser.add_argument("--old", type=Path, action="append", default=[],
                        help="an earlier release's executable (each one the updater updates from)")
    parser.add_argument("--old-scripts", type=Path, action="append", default=[],
                        help="that release's script archive, for the tests (in --old's order)")
    parser.add_argument("--pkcs12", type=Path, help="certificate and key as a PKCS#12 file")
    parser.add_argument("--pkcs11-module", type=Path, help="the token's PKCS#11 module (.so)")
    parser.add_argument("--key", help="the signing key in the token, as a PKCS#11 URI")
    parser.add_argument("--certs", type=Path, help="the certificate chain of a key in a token")
    parser.add_argument("--password-file", type=Path,
                        help="a file holding the PKCS#12 password or the token's PIN")
    parser.add_argument("--timestamp-url", action="append", default=[],
                        help="an RFC 3161 time-stamping authority (several: asked in order)")
    parser.add_argument("--ca-file", type=Path, help="roots to verify the signature with "
                        "(default: the system's)")
    parser.add_argument("--tsa-ca-file", type=Path, help="roots to verify the time stamp with")
    parser.add_argument("--out", type=Path, default=WORK / "out",
                        help="where the program and its record go (default: build/release/out)")
    parser.add_argument("--replace", action="store_true",
                        help="replace a program already in --out (it may be shipped already)")
    parser.add_argument("--no-tests", action="store_true",
                        help="leave the test stage out (CI, right after the whole suite passed)")
    parser.add_argument("--verify", type=Path, metavar="SIGNED.exe",
                        help="prove a program signed elsewhere is this build, and verify it")
    parser.add_argument("--rehearse", action="store_true",
                        help="the whole release, offline, on the stand-in release with a "
                             "throwaway token, certificate and time-stamping authority")
    args = parser.parse_args()
    if not args.rehearse:
        missing = [name for name, value in (("--exe", args.exe), ("--scripts", args.scripts))
                   if value is None] + (["--old"] if not args.old else [])
        if missing:
            parser.error(f"{', '.join(missing)}: required (or give --rehearse)")
    return args


def main():
    args = parse_arguments()
    end_on_signals()
    subprocess.run([PROJECT / "scripts" / "setup"], check=True, stdout=subprocess.DEVNULL)
    logs = WORK / "logs"
    shutil.rmtree(logs, ignore_errors=True)
    logs.mkdir(parents=True)
    try:
        if args.rehearse:
            return rehearse(args, logs)
        return verify_elsewhere(args, logs) if args.verify else release(args, logs)
    except StepFailed as failure:
        print(f"release: {failure}", flush=True)
        return 1
    except Interrupted:
        return 130
