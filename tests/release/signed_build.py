#!/usr/bin/env python3
"""Signing end to end, offline: a throwaway PKI (a root, a code-signing
certificate valid for two days, a time-stamping certificate) and a time-stamping
authority of its own on 127.0.0.1, as the release command's rehearsal makes them. A Windows build is signed and time-stamped
(an unreachable authority and one that answers nonsense are passed over);
osslsigncode verifies it now and three days on, after the certificate expired,
while a build without a time stamp fails there. The same with the key in a
SoftHSM2 token, reached through PKCS#11. A build whose authorities all fail, one
with a wrong password and one with a wrong PIN fail and leave no program. One
Wine scenario runs with the signed program.

    signed_build.py --source DIR --work DIR --runner scenarios.py --state DIR
                    --windows-version V --standins DIR --release-exe F --release-scripts F
                    [-D<cmake setting> ...]
"""

import argparse
import re
import shutil
import subprocess
import sys
import time
from pathlib import Path

sys.path.insert(0, str(Path(__file__).resolve().parents[2] / "tools" / "release"))
import signature  # noqa: E402 (the release command's own reading of osslsigncode)
from rehearsal import make_pki, make_token, start_authority  # noqa: E402

THREE_DAYS = 3 * 24 * 3600

def run(*command, **options):
    return subprocess.run([str(part) for part in command], capture_output=True, text=True,
                          **options)


def with_pkcs12(work):
    return {"ZEMLO_SIGN_PKCS12": work / "cert.p12"}


def with_token(work, token):
    module, key = token
    return {"ZEMLO_SIGN_PKCS11_MODULE": module, "ZEMLO_SIGN_KEY": key,
            "ZEMLO_SIGN_CERTS": work / "chain.pem"}


def build_signed(source, build, settings, password, urls, key):
    """Configures and builds a program signed with the key (with_pkcs12 or
    with_token); returns (succeeded, output)."""
    exe = build / "ZEMLOUpdater.exe"
    exe.unlink(missing_ok=True)  # so that the program is linked, and signed, again
    signing = {"ZEMLO_SIGN_PKCS12": "", "ZEMLO_SIGN_PKCS11_MODULE": "", "ZEMLO_SIGN_KEY": "",
               "ZEMLO_SIGN_CERTS": "", **key}
    configure = run("cmake", "--preset", "windows", "-B", build, *settings,
                    *(f"-D{name}={value}" for name, value in signing.items()),
                    f"-DZEMLO_SIGN_PASSWORD_FILE={password}",
                    f"-DZEMLO_SIGN_TIMESTAMP_URL={';'.join(urls)}", cwd=source)
    output = configure.stdout + configure.stderr
    if configure.returncode != 0:
        return False, output
    built = run("cmake", "--build", build, "--parallel")
    return built.returncode == 0 and exe.exists(), output + built.stdout + built.stderr


def verify(exe, work, at=None, root="root"):
    """osslsigncode's verification with a root (the test's own by default) as CA and
    the test root as TSA CA, now or at a given time: (exit code, what it said)."""
    return signature.verify(exe, work / f"{root}.pem", work / "root.pem", at)

def main():
    parser = argparse.ArgumentParser(description=__doc__)
    for name in ("source", "work", "runner", "state", "windows-version", "standins",
                 "release-exe", "release-scripts"):
        parser.add_argument(f"--{name}", required=True)
    args, settings = parser.parse_known_args()
    settings = [setting.replace("|", ";") for setting in settings]  # lists come with '|'
    work = Path(args.work).resolve()
    shutil.rmtree(work, ignore_errors=True)
    work.mkdir(parents=True)
    password = work / "password.txt"
    password.write_text("zemlo-test-password\n")
    if not make_pki(work):
        print("FAILED: openssl could not make the throwaway certificates")
        return 1
    token = make_token(work)
    if token is None:
        print("FAILED: no SoftHSM2 token could be made (scripts/setup installs softhsm2)")
        return 1
    authority = start_authority(work)
    try:
        return check(args, settings, work, password, authority.server_address[1], token)
    finally:
        authority.shutdown()


def check_stamped(exe, work, what):
    """The signature verifies with its time stamp now and three days on, after the
    certificate has expired, and not with another root; False after saying why."""
    (code_now, now), (code_later, later) = verify(exe, work), \
        verify(exe, work, time.time() + THREE_DAYS)
    print(f"{what}, verify now:\n" + now + f"\n{what}, verify three days on:\n" + later)
    if code_now != 0 or "sha256" not in now.lower():
        print(f"FAILED: {what}: osslsigncode does not accept the SHA-256 signature")
        return False
    if not signature.is_stamped(now):
        print(f"FAILED: {what}: the signature shows no verified time stamp")
        return False
    if code_later != 0:
        print(f"FAILED: {what}: the time-stamped signature does not verify after the certificate "
              "expired")
        return False
    if verify(exe, work, root="other")[0] == 0:
        print(f"FAILED: {what}: the signature verifies with another certificate as the root")
        return False
    print(f"{what}, time-stamped: verifies now and three days on; refused with another root")
    return True


def check(args, settings, work, password, port, token):
    build = work / "build"
    exe = build / "ZEMLOUpdater.exe"
    unreachable = "http://127.0.0.1:9/stamp"  # the discard port: nothing listens there
    nonsense = f"http://127.0.0.1:{port}/nonsense"
    good = f"http://127.0.0.1:{port}/stamp"

    # Stamped by the third authority, after the first two were passed over by name.
    built, output = build_signed(args.source, build, settings, password,
                                 [unreachable, nonsense, good], with_pkcs12(work))
    if not built:
        print("FAILED: the signed, time-stamped build did not succeed\n", output)
        return 1
    print("\n".join(line for line in output.splitlines() if "authority" in line or "Signed" in line))
    passed_over = [url for url in (unreachable, nonsense) if f"authority {url} gave no" in output]
    if passed_over != [unreachable, nonsense] or f"time-stamped by {good}" not in output:
        print("FAILED: the build does not name the authorities passed over and the one used\n",
              output)
        return 1
    if not check_stamped(exe, work, "PKCS#12"):
        return 1

    # The signed program still does its job.
    scenario = run(sys.executable, args.runner, "--state", args.state,
                   "--windows-version", args.windows_version, "--exe", exe,
                   "--standins", args.standins, "--release-exe", args.release_exe,
                   "--release-scripts", args.release_scripts, "run", "update_yes_tokyo",
                   "--deadline", 240)
    print(scenario.stdout.strip())
    if scenario.returncode != 0:
        print(scenario.stderr)
        return 1

    # The control: without a time stamp, the same signature fails once the
    # certificate has expired.
    built, output = build_signed(args.source, build, settings, password, [], with_pkcs12(work))
    if not built or "will stop verifying when the certificate expires" not in output:
        print("FAILED: a build without time-stamping URLs did not sign, or did not say the "
              "signature will expire\n", output)
        return 1
    (code_now, _), (code_later, later) = verify(exe, work), \
        verify(exe, work, time.time() + THREE_DAYS)
    print("without a time stamp, verify three days on:\n" + later)
    if code_now != 0 or code_later == 0:
        print("FAILED: without a time stamp the signature should verify now and fail three "
              "days on")
        return 1

    # The key in a token, reached through PKCS#11: the same signature and stamp.
    built, output = build_signed(args.source, build, settings, work / "pin.txt", [good],
                                 with_token(work, token))
    print("\n".join(line for line in output.splitlines() if "Signed" in line))
    if not built or f"time-stamped by {good}" not in output:
        print("FAILED: the build signed with the key in the token did not succeed\n", output)
        return 1
    if not check_stamped(exe, work, "PKCS#11"):
        return 1

    # No authority answers, the password or the PIN is wrong: the build fails, no
    # program left.
    (work / "wrong.txt").write_text("not the password\n")
    (work / "wrong-pin.txt").write_text("135790\n")
    for what, urls, secret, key in (
            ("no authority answers", [unreachable, nonsense], password, with_pkcs12(work)),
            ("wrong password", [good], work / "wrong.txt", with_pkcs12(work)),
            ("wrong PIN", [good], work / "wrong-pin.txt", with_token(work, token))):
        built, output = build_signed(args.source, build, settings, secret, urls, key)
        print("\n".join(line for line in output.splitlines() if "authority" in line))
        if built or exe.exists() or (build / "ZEMLOUpdater.exe.signed").exists():
            print(f"FAILED: {what}: the build succeeded or left a program behind\n", output)
            return 1
        named = re.sub(r"\s+", " ", output)
        if what == "no authority answers" and not all(
                f"{url} (" in named.split("gave a time stamp:")[-1] for url in urls):
            print(f"FAILED: {what}: the failure does not name each authority and why\n", output)
            return 1
        print(f"{what}: the build fails and leaves no program")
    shutil.rmtree(work, ignore_errors=True)
    return 0


if __name__ == "__main__":
    sys.exit(main())
