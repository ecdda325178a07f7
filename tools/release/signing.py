"""Signing through the build (cmake/Sign.cmake and osslsigncode), and verifying
the signed program now and after its certificate has expired."""

import datetime
import re

import signature
from proof import build_program, release_settings
from steps import StepFailed

# The build's signing settings, by the option the vendor gives each as.
OPTION_OF_SETTING = {
    "ZEMLO_SIGN_TIMESTAMP_URL": "--timestamp-url", "ZEMLO_SIGN_PASSWORD_FILE": "--password-file",
    "ZEMLO_SIGN_PKCS12": "--pkcs12", "ZEMLO_SIGN_PKCS11_MODULE": "--pkcs11-module",
    "ZEMLO_SIGN_KEY": "--key", "ZEMLO_SIGN_CERTS": "--certs",
}


def signing_settings(args):
    settings = {"ZEMLO_SIGN_PASSWORD_FILE": args.password_file.resolve(),
                "ZEMLO_SIGN_TIMESTAMP_URL": ";".join(args.timestamp_url),
                "ZEMLO_SIGN_PKCS12": "", "ZEMLO_SIGN_PKCS11_MODULE": "", "ZEMLO_SIGN_KEY": "",
                "ZEMLO_SIGN_CERTS": ""}
    if args.pkcs12:
        settings["ZEMLO_SIGN_PKCS12"] = args.pkcs12.resolve()
    else:
        settings.update(ZEMLO_SIGN_PKCS11_MODULE=args.pkcs11_module.resolve(),
                        ZEMLO_SIGN_KEY=args.key, ZEMLO_SIGN_CERTS=args.certs.resolve())
    return settings


def in_the_vendors_terms(text):
    for setting, option in OPTION_OF_SETTING.items():
        text = text.replace(setting, option)
    return text


def sign(build, args, log):
    """Builds and signs the program; returns (the program, the authority that
    stamped it)."""
    try:
        program = build_program(build, {**release_settings(args), **signing_settings(args)}, log)
    except StepFailed as failure:
        raise StepFailed(in_the_vendors_terms(str(failure))) from failure
    stamped = re.findall(r"time-stamped by (\S+)", log.read_text(errors="replace"))
    return program, stamped[-1] if stamped else "unknown"


def verify_at(program, args, at=None):
    """The signature and its time stamp verify now, or at a given time; returns
    what osslsigncode said."""
    code, said = signature.verify(program, args.ca_file, args.tsa_ca_file, at)
    when = "now" if at is None else datetime.datetime.fromtimestamp(
        at, datetime.timezone.utc).strftime("at %Y-%m-%d %H:%M UTC")
    if not signature.succeeded(code, said):
        raise StepFailed(f"the signature of {program} does not verify {when}:\n{said.strip()}")
    if not signature.is_stamped(said):
        raise StepFailed(f"the signature of {program} has no time stamp that verifies {when}")
    return said


def verify_all(program, args):
    """The signature and its time stamp verify now and a day after the
    certificate has expired. Returns (what verify said now, the expiry)."""
    said = verify_at(program, args)
    expiry = signature.certificate_expiry(said)
    if expiry is None:
        raise StepFailed("the signing certificate's expiry is not in osslsigncode's verification")
    verify_at(program, args, expiry.timestamp() + signature.ONE_DAY)
    return said, expiry
