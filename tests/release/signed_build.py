#!/usr/bin/env python3
"""Signing end to end: a throwaway self-signed code-signing certificate, a Windows
build signed with it, osslsigncode's verification (accepted with that certificate
as the trusted root, refused without it), a wrong password failing the build,
and one Wine scenario run with the signed program.

    signed_build.py --source DIR --work DIR --runner scenarios.py --state DIR
                    --windows-version V --standins DIR --release-exe F --release-scripts F
                    [-D<cmake setting> ...]
"""

import argparse
import shutil
import subprocess
import sys
from pathlib import Path


def run(*command, **options):
    return subprocess.run([str(part) for part in command], capture_output=True, text=True,
                          **options)


def main():
    parser = argparse.ArgumentParser(description=__doc__)
    for name in ("source", "work", "runner", "state", "windows-version", "standins",
                 "release-exe", "release-scripts"):
        parser.add_argument(f"--{name}", required=True)
    args, settings = parser.parse_known_args()
    work = Path(args.work)
    shutil.rmtree(work, ignore_errors=True)
    work.mkdir(parents=True)

    password = work / "password.txt"
    password.write_text("zemlo-test-password\n")
    made = all(run("openssl", "req", "-x509", "-newkey", "rsa:2048", "-nodes", "-days", "7",
                   "-keyout", work / f"{name}.key", "-out", work / f"{name}.pem",
                   "-subj", f"/CN=ZEMLO Updater Test {name}",
                   "-addext", "extendedKeyUsage=codeSigning",
                   "-addext", "keyUsage=digitalSignature").returncode == 0
               for name in ("cert", "other"))
    made = made and run(
        "openssl", "pkcs12", "-export", "-inkey", work / "cert.key", "-in", work / "cert.pem",
        "-out", work / "cert.p12", "-passout", f"file:{password}").returncode == 0
    if not made:
        print("FAILED: openssl could not make the throwaway certificate")
        return 1

    build = work / "build"
    configure = run("cmake", "--preset", "windows", "-B", build, *settings,
                    f"-DZEMLO_SIGN_PKCS12={work / 'cert.p12'}",
                    f"-DZEMLO_SIGN_PASSWORD_FILE={password}", cwd=args.source)
    built = configure.returncode == 0 and run("cmake", "--build", build, "--parallel").returncode == 0
    exe = build / "ZEMLOUpdater.exe"
    if not built or not exe.exists():
        print("FAILED: the signed build did not succeed\n", configure.stdout, configure.stderr)
        return 1

    trusted = run("osslsigncode", "verify", "-CAfile", work / "cert.pem", "-in", exe)
    if trusted.returncode != 0:
        print("FAILED: osslsigncode does not accept the signature\n", trusted.stdout)
        return 1
    if "sha256" not in trusted.stdout.lower():
        print("FAILED: the signature does not use SHA-256\n", trusted.stdout)
        return 1
    untrusted = run("osslsigncode", "verify", "-CAfile", work / "other.pem", "-in", exe)
    if untrusted.returncode == 0:
        print("FAILED: the signature verifies with another certificate as the root")
        return 1
    print("signature: accepted with the test root, refused with another")

    # The signed program still does its job.
    scenario = run(sys.executable, args.runner, "--state", args.state,
                   "--windows-version", args.windows_version, "--exe", exe,
                   "--standins", args.standins, "--release-exe", args.release_exe,
                   "--release-scripts", args.release_scripts, "run", "update_yes_tokyo")
    print(scenario.stdout.strip())
    if scenario.returncode != 0:
        print(scenario.stderr)
        return 1

    # A wrong password fails the build and leaves no unsigned program behind.
    wrong = work / "wrong.txt"
    wrong.write_text("not the password\n")
    run("cmake", "-B", build, f"-DZEMLO_SIGN_PASSWORD_FILE={wrong}", cwd=args.source)
    exe.unlink()
    failed = run("cmake", "--build", build)
    if failed.returncode == 0 or exe.exists():
        print("FAILED: a build whose signing failed succeeded or left ZEMLOUpdater.exe")
        return 1
    print("wrong password: the build fails and leaves no program")
    shutil.rmtree(work, ignore_errors=True)
    return 0


if __name__ == "__main__":
    sys.exit(main())
