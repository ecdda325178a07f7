"""Pre-flight: every signing input proven in seconds, before the tests and the
build, each refusal one line that names the option at fault. For a key in a
token it asks the module through OpenSC's pkcs11-tool: the module loads, the
token is there, its PIN has more than one try left, the PIN logs in (once: a
PIN that is refused spends one try, and the run stops there), the key is
there, and the certificate's public key is the key's. The certificate must be
valid now and for a day more and allow code signing, and its chain lead to
--ca-file where one is given. A PKCS#12 file must open with its password. At
least one time-stamping URL must answer a real request with a time stamp."""

import datetime
import os
import re
import tempfile
import urllib.error
import urllib.request
from pathlib import Path

from inputs import uri_attributes, uri_id
from steps import StepFailed, output_of

PIN_VARIABLE = "ZEMLO_RELEASE_PIN"  # pkcs11-tool reads the PIN from it: never in argv


def _first_error(said):
    lines = [line.strip() for line in said.splitlines() if line.strip()]
    for line in lines:
        if "error" in line.lower() or "failed" in line.lower():
            return line
    return lines[0] if lines else "no output"


# ---- The key in a token -------------------------------------------------------------

def parse_slots(listing):
    """pkcs11-tool -L's tokens: a list of dicts with label, serial and flags."""
    tokens = []
    for block in re.split(r"^Slot \d+", listing, flags=re.M)[1:]:
        label = re.search(r"^\s*token label\s*:\s*(.*?)\s*$", block, re.M)
        if not label:
            continue  # an empty slot
        serial = re.search(r"^\s*serial num\s*:\s*(.*?)\s*$", block, re.M)
        flags = re.search(r"^\s*token flags\s*:\s*(.*?)\s*$", block, re.M)
        tokens.append({"label": label.group(1), "serial": serial.group(1) if serial else "",
                       "flags": [flag.strip() for flag in flags.group(1).split(",")] if flags else []})
    return tokens


def parse_keys(listing):
    """pkcs11-tool -O's key objects: a list of dicts with label and id (hex)."""
    keys = []
    for block in re.split(r"^(?=\S)", listing, flags=re.M):
        if not block.startswith(("Private Key Object", "Public Key Object")):
            continue
        label = re.search(r"^\s*label:\s*(.*?)\s*$", block, re.M)
        ident = re.search(r"^\s*ID:\s*(\S*)\s*$", block, re.M)
        keys.append({"label": label.group(1) if label else "",
                     "id": ident.group(1).lower() if ident else ""})
    return keys


def _describe(keys):
    return ", ".join(f"'{key['label']}' (id {key['id'] or 'none'})" for key in keys) or "none"


def check_token(args, work):
    """The token, its PIN and the key, then the certificate: what the step says."""
    module = args.pkcs11_module
    attributes = uri_attributes(args.key)
    code, said = output_of("pkcs11-tool", "--module", module, "--list-slots")
    if code != 0:
        hint = ""
        if "softhsm" in str(module).lower() and not os.environ.get("SOFTHSM2_CONF"):
            hint = " (SOFTHSM2_CONF is not set: SoftHSM2 finds no tokens without it)"
        raise StepFailed(f"--pkcs11-module {module}: cannot be used as a PKCS#11 module: "
                         f"{_first_error(said)}{hint}")
    tokens = parse_slots(said)
    wanted = [token for token in tokens
              if token["label"] == attributes.get("token", token["label"])
              and token["serial"] == attributes.get("serial", token["serial"])]
    if not wanted:
        present = ", ".join(f"'{token['label']}'" for token in tokens) or "none"
        named = attributes.get("token", attributes.get("serial", "?"))
        raise StepFailed(f"--key: no token '{named}' is present through {module} (tokens "
                         f"present: {present})")
    if len(wanted) > 1:
        raise StepFailed(f"--key: {len(wanted)} tokens answer to it; name one by its token= "
                         "label and serial=")
    token = wanted[0]
    flags = token["flags"]
    for flag, why in (("user PIN locked", "is locked"),
                      ("final user PIN try", "has one try left"),
                      ("user PIN count low", "has been refused before and has few tries left")):
        if flag in flags:
            raise StepFailed(f"--password-file: the PIN of token '{token['label']}' {why}; "
                             "nothing was tried. Check the PIN with the token's own tool first")
    pin = args.password_file.read_text().splitlines()[0]
    select = ["--module", module, "--token-label", token["label"]]
    env = {**os.environ, PIN_VARIABLE: pin}
    code, said = output_of("pkcs11-tool", *select, "--login", "--pin", f"env:{PIN_VARIABLE}",
                           "--list-objects", "--type", "privkey", env=env)
    if code != 0:
        if "CKR_PIN_INCORRECT" in said or "CKR_PIN_LEN_RANGE" in said:
            raise StepFailed(f"--password-file {args.password_file}: token '{token['label']}' "
                             "refused the PIN (one try spent); nothing else was tried")
        if "CKR_PIN_LOCKED" in said:
            raise StepFailed(f"--password-file: the PIN of token '{token['label']}' is locked")
        raise StepFailed(f"--key: logging in to token '{token['label']}' failed: "
                         f"{_first_error(said)}")
    keys = parse_keys(said)
    wanted_id = uri_id(args.key)
    matching = [key for key in keys
                if key["label"] == attributes.get("object", key["label"])
                and (not wanted_id or key["id"] == wanted_id)]
    if len(matching) != 1:
        how = "no key" if not matching else f"{len(matching)} keys"
        raise StepFailed(f"--key: {how} in token '{token['label']}' answer to it (its keys: "
                         f"{_describe(keys)})")
    key = matching[0]
    leaf = _leaf_certificate(args.certs, work)
    _check_key_is_certificate(args, select, key, leaf, work)
    return leaf, f"token '{token['label']}', key '{key['label']}' (id {key['id']})"


def _check_key_is_certificate(args, select, key, leaf, work):
    """The certificate's public key is the key's: the token's public key object
    beside it, read without the PIN, or where the token keeps none, a test
    signature made through the PKCS#11 engine the build signs with (the PIN, now
    known to be right, spends no try) and checked with the certificate."""
    _, ours = output_of("openssl", "x509", "-in", leaf, "-noout", "-pubkey")
    public = work / "token-public.der"
    how = ["--id", key["id"]] if key["id"] else ["--label", key["label"]]
    code, _ = output_of("pkcs11-tool", *select, "--read-object", "--type", "pubkey", *how,
                        "--output-file", public)
    if code == 0 and public.exists():
        _, theirs = output_of("openssl", "pkey", "-pubin", "-inform", "DER", "-in", public,
                              "-outform", "PEM")
        matches = "BEGIN PUBLIC KEY" in theirs and theirs.strip() == ours.strip()
    else:
        digest, signed, certificate_key = work / "digest", work / "signature", work / "cert-key.pem"
        digest.write_bytes(os.urandom(32))
        certificate_key.write_text(ours)
        code, said = output_of("openssl", "pkeyutl", "-sign", "-engine", "pkcs11",
                               "-keyform", "engine", "-inkey", args.key,
                               "-passin", f"file:{args.password_file}", "-in", digest,
                               "-out", signed,
                               env={**os.environ, "PKCS11_MODULE_PATH": str(args.pkcs11_module)})
        if code != 0 or not signed.exists():
            raise StepFailed(f"--key: a test signature with key '{key['label']}' failed: "
                             f"{_first_error(said)}")
        code, _ = output_of("openssl", "pkeyutl", "-verify", "-pubin", "-inkey", certificate_key,
                            "-in", digest, "-sigfile", signed)
        matches = code == 0
    if not matches:
        raise StepFailed(f"--certs: the certificate is not for key '{key['label']}' in the token "
                         "(their public keys differ): is it another key's certificate?")


# ---- The certificate --------------------------------------------------------------------

def _leaf_certificate(chain, work):
    """The first certificate of a PEM chain, written alone to work."""
    text = Path(chain).read_text(errors="replace")
    found = re.search(r"-----BEGIN CERTIFICATE-----.*?-----END CERTIFICATE-----", text, re.S)
    if not found:
        raise StepFailed(f"--certs {chain}: holds no PEM certificate")
    leaf = work / "leaf.pem"
    leaf.write_text(found.group(0) + "\n")
    return leaf


def _date(text):
    return datetime.datetime.strptime(" ".join(text.split()[:-1]), "%b %d %H:%M:%S %Y") \
        .replace(tzinfo=datetime.timezone.utc)


def check_certificate(option, leaf, chain, ca_file):
    """Valid now and for a day more, for code signing, and leading to ca_file.
    Returns its expiry."""
    code, said = output_of("openssl", "x509", "-in", leaf, "-noout", "-startdate", "-enddate",
                           "-ext", "extendedKeyUsage")
    if code != 0:
        raise StepFailed(f"{option}: its certificate cannot be read: {_first_error(said)}")
    start = _date(re.search(r"notBefore=(.*)", said).group(1))
    end = _date(re.search(r"notAfter=(.*)", said).group(1))
    now = datetime.datetime.now(datetime.timezone.utc)
    if now < start:
        raise StepFailed(f"{option}: the certificate is valid only from {start:%Y-%m-%d %H:%M} UTC")
    if end <= now:
        raise StepFailed(f"{option}: the certificate expired on {end:%Y-%m-%d %H:%M} UTC")
    if end - now < datetime.timedelta(days=1):
        raise StepFailed(f"{option}: the certificate expires within a day, on "
                         f"{end:%Y-%m-%d %H:%M} UTC: renew it before releasing")
    if "Code Signing" not in said:
        raise StepFailed(f"{option}: the certificate does not allow code signing (no Code "
                         "Signing in its extended key usage)")
    if ca_file:
        code, said = output_of("openssl", "verify", "-CAfile", ca_file, "-untrusted", chain,
                               "-purpose", "any", leaf)
        if code != 0:
            raise StepFailed(f"--ca-file {ca_file}: the certificate's chain does not lead to it: "
                             f"{_first_error(said)}")
    return end


def check_pkcs12(args, work):
    """The password opens the file; its certificates, leaf first, written to work."""
    certs = work / "pkcs12-certs.pem"
    for legacy in ([], ["-legacy"]):
        code, said = output_of("openssl", "pkcs12", *legacy, "-in", args.pkcs12, "-passin",
                               f"file:{args.password_file}", "-nokeys", "-clcerts",
                               "-out", certs)
        if code == 0:
            break
    if code != 0:
        raise StepFailed(f"--password-file {args.password_file}: does not open --pkcs12 "
                         f"{args.pkcs12} (a wrong password, or not a PKCS#12 file): "
                         f"{_first_error(said)}")
    chain = work / "pkcs12-chain.pem"
    output_of("openssl", "pkcs12", *legacy, "-in", args.pkcs12, "-passin",
              f"file:{args.password_file}", "-nokeys", "-out", chain)
    return _leaf_certificate(certs, work), chain


# ---- The time-stamping authorities -----------------------------------------------------

def check_authorities(urls, work):
    """Each URL asked for a real time stamp of a throwaway hash. Returns the URLs
    that answered with one; StepFailed, naming each URL and why, when none did."""
    query = work / "query.tsq"
    (work / "probe.bin").write_bytes(os.urandom(32))
    code, said = output_of("openssl", "ts", "-query", "-data", work / "probe.bin", "-sha256",
                           "-cert", "-out", query)
    if code != 0:
        raise StepFailed(f"--timestamp-url: openssl could not make a request: {_first_error(said)}")
    answered, refused = [], []
    for url in urls:
        why = _ask_authority(url, query.read_bytes(), work)
        if why is None:
            answered.append(url)
        else:
            refused.append(f"{url}: {why}")
    if not answered:
        raise StepFailed("--timestamp-url: no authority gave a time stamp: " + "; ".join(refused))
    return answered, refused


def _ask_authority(url, query, work):
    request = urllib.request.Request(url, data=query,
                                     headers={"Content-Type": "application/timestamp-query"})
    try:
        with urllib.request.urlopen(request, timeout=20) as response:
            reply = response.read()
    except urllib.error.HTTPError as error:
        return f"HTTP {error.code}"
    except (urllib.error.URLError, OSError, ValueError) as error:
        return str(getattr(error, "reason", error))
    path = work / "reply.tsr"
    path.write_bytes(reply)
    code, said = output_of("openssl", "ts", "-reply", "-in", path, "-text")
    if code != 0:
        return "its answer is no time-stamp reply"
    if not re.search(r"Status:\s*Granted", said):
        status = re.search(r"Status:\s*(.*)", said)
        return f"it did not grant a time stamp ({status.group(1).strip() if status else 'no status'})"
    return None


def preflight(args):
    """Every signing input proven; what the step line says."""
    with tempfile.TemporaryDirectory(prefix="zemlo-preflight-") as folder:
        work = Path(folder)
        if args.pkcs11_module:
            leaf, what = check_token(args, work)
            expiry = check_certificate("--certs", leaf, args.certs, args.ca_file)
        else:
            leaf, chain = check_pkcs12(args, work)
            what = f"--pkcs12 {args.pkcs12.name} opens"
            expiry = check_certificate("--pkcs12", leaf, chain, args.ca_file)
        answered, refused = check_authorities(args.timestamp_url, work)
    told = f"{what}; certificate valid until {expiry:%Y-%m-%d}; time stamps from {answered[0]}"
    if refused:
        told += f" ({len(refused)} other authorities did not answer: " + "; ".join(refused) + ")"
    return told
