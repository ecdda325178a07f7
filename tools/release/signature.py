"""What osslsigncode says of a signed program, read in one place for the release
command and the signing test: whether the signature and its time stamp verify,
now or at a given time, who signed, when it was stamped, and when the signing
certificate expires."""

import datetime
import re
import subprocess

ONE_DAY = 24 * 3600

# osslsigncode 2.5 says "The signature is timestamped: <time>", 2.9 "Timestamp time: <time>".
_STAMP_TIME = re.compile(r"^\s*(?:The signature is timestamped|Timestamp time):\s*(.*)$", re.M)


def verify(program, ca_file=None, tsa_ca_file=None, at=None):
    """osslsigncode's verification, now or at a given time (seconds since 1970):
    (exit code, what it said)."""
    command = ["osslsigncode", "verify"]
    if ca_file:
        command += ["-CAfile", str(ca_file)]
    if tsa_ca_file:
        command += ["-TSA-CAfile", str(tsa_ca_file)]
    if at is not None:
        command += ["-time", str(int(at))]
    result = subprocess.run(command + ["-in", str(program)], capture_output=True, text=True)
    return result.returncode, result.stdout + result.stderr


def succeeded(code, said):
    return code == 0 and re.search(r"^Succeeded", said, re.M) is not None


def is_stamped(said):
    """The signature carries a time stamp whose own signature verified."""
    return _STAMP_TIME.search(said) is not None and \
        "Timestamp Server Signature verification: ok" in said


def stamp_time(said):
    found = _STAMP_TIME.search(said)
    return found.group(1).strip() if found else None


def signer(said):
    found = re.search(r"Signer #0:\s*\n\s*Subject:\s*(.*)", said)
    return found.group(1).strip() if found else None


def certificate_expiry(said):
    """The signing certificate's notAfter (UTC), or None where it is not said."""
    found = re.search(r"notAfter\s*:\s*(\w+\s+\d+\s+[\d:]+\s+\d+)\s+GMT",
                      said[said.find("Signer #0:"):])
    if not found:
        return None
    expiry = datetime.datetime.strptime(" ".join(found.group(1).split()), "%b %d %H:%M:%S %Y")
    return expiry.replace(tzinfo=datetime.timezone.utc)
