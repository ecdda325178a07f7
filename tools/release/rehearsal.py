"""A release rehearsed offline: a throwaway PKI (a root, a code-signing
certificate valid for two days, a time-stamping certificate), a SoftHSM2 token of
its own holding the key, and a time-stamping authority of its own on 127.0.0.1.
The release command's --rehearse runs the whole release with them on the
stand-in release; the signing tests use them too."""

import http.server
import os
import subprocess
import tempfile
import threading
from pathlib import Path

# Certificate extensions and the authority's settings for `openssl ts -reply`.
PKI_CONFIG = """\
[req]
distinguished_name = subject
[subject]
[root]
basicConstraints = critical, CA:true
keyUsage = critical, keyCertSign, cRLSign
subjectKeyIdentifier = hash
[code_signing]
basicConstraints = CA:false
keyUsage = critical, digitalSignature
extendedKeyUsage = codeSigning
subjectKeyIdentifier = hash
authorityKeyIdentifier = keyid
[time_stamping]
basicConstraints = CA:false
keyUsage = critical, digitalSignature
extendedKeyUsage = critical, timeStamping
subjectKeyIdentifier = hash
authorityKeyIdentifier = keyid
[tsa]
default_tsa = authority
[authority]
serial = {work}/tsa-serial
crypto_device = builtin
signer_cert = {work}/tsa.pem
signer_key = {work}/tsa.key
certs = {work}/root.pem
signer_digest = sha256
default_policy = 1.3.6.1.4.1.4146.2.3
digests = sha256, sha384, sha512
accuracy = secs:1
ess_cert_id_chain = no
ess_cert_id_alg = sha256
"""


def run(*command, **options):
    return subprocess.run([str(part) for part in command], capture_output=True, text=True,
                          **options)


def make_pki(work):
    """root.pem, the code-signing cert.p12 (two days) and tsa.pem, under the test
    root; other.pem, an unrelated root. work/password.txt must hold the PKCS#12
    password. True when openssl made them all."""
    config = work / "pki.cnf"
    config.write_text(PKI_CONFIG.format(work=work))
    (work / "tsa-serial").write_text("01\n")

    def certificate(name, days, extensions, issuer=None):
        signed_by = ["-CA", work / f"{issuer}.pem", "-CAkey", work / f"{issuer}.key"] if issuer else []
        return run("openssl", "req", "-x509", "-config", config, "-extensions", extensions,
                   "-newkey", "rsa:2048", "-nodes", "-days", days, "-keyout", work / f"{name}.key",
                   "-out", work / f"{name}.pem", "-subj", f"/CN=ZEMLO Updater Test {name}",
                   *signed_by).returncode == 0

    # Two days: pre-flight wants a certificate valid for a day more.
    made = (certificate("root", 30, "root") and certificate("other", 30, "root")
            and certificate("cert", 2, "code_signing", "root")
            and certificate("tsa", 30, "time_stamping", "root"))
    return made and run("openssl", "pkcs12", "-export", "-inkey", work / "cert.key", "-in",
                        work / "cert.pem", "-certfile", work / "root.pem", "-out",
                        work / "cert.p12", "-passout",
                        f"file:{work / 'password.txt'}").returncode == 0


# Where Debian's softhsm2 puts its PKCS#11 module.
SOFTHSM_MODULES = ["/usr/lib/softhsm/libsofthsm2.so",
                   "/usr/lib/x86_64-linux-gnu/softhsm/libsofthsm2.so"]
TOKEN_PIN = "246810"


def make_token(work):
    """A SoftHSM2 token of this test's own (SOFTHSM2_CONF, for this process and
    the builds it starts) holding the code-signing key, and no copy of it
    outside. Returns the module and the key's PKCS#11 URI, or None."""
    module = next((m for m in SOFTHSM_MODULES if Path(m).exists()), None)
    if module is None:
        return None
    (work / "tokens").mkdir()
    config = work / "softhsm2.conf"
    config.write_text(f"directories.tokendir = {work / 'tokens'}\nobjectstore.backend = file\n")
    os.environ["SOFTHSM2_CONF"] = str(config)
    made = (run("softhsm2-util", "--init-token", "--free", "--label", "ZEMLO Test", "--pin",
                TOKEN_PIN, "--so-pin", "13579246").returncode == 0
            and run("openssl", "pkcs8", "-topk8", "-nocrypt", "-in", work / "cert.key", "-out",
                    work / "cert.p8").returncode == 0
            and run("softhsm2-util", "--import", work / "cert.p8", "--token", "ZEMLO Test",
                    "--label", "code-signing", "--id", "01", "--pin", TOKEN_PIN).returncode == 0)
    (work / "cert.p8").unlink(missing_ok=True)
    (work / "chain.pem").write_text((work / "cert.pem").read_text() + (work / "root.pem").read_text())
    (work / "pin.txt").write_text(TOKEN_PIN + "\n")
    return (module, "pkcs11:token=ZEMLO%20Test;object=code-signing;type=private") if made else None


def start_authority(work):
    """A time-stamping authority on 127.0.0.1 in a thread of this process, so that
    it ends with the test whatever happens: /stamp answers each query with
    `openssl ts -reply`, /nonsense with bytes that are no reply. Returns the server."""

    class Authority(http.server.BaseHTTPRequestHandler):
        def do_POST(self):  # noqa: N802 (the name http.server calls)
            query = self.rfile.read(int(self.headers.get("Content-Length", 0)))
            if self.path == "/stamp":
                with tempfile.TemporaryDirectory(dir=work) as folder:
                    (Path(folder) / "query.tsq").write_bytes(query)
                    made = run("openssl", "ts", "-reply", "-config", work / "pki.cnf",
                               "-queryfile", Path(folder) / "query.tsq",
                               "-out", Path(folder) / "reply.tsr")
                    reply = (Path(folder) / "reply.tsr").read_bytes() if made.returncode == 0 else b""
            else:
                reply = b"<html>not a time stamp</html>"
            self.send_response(200 if reply else 500)
            self.send_header("Content-Type", "application/timestamp-reply")
            self.send_header("Content-Length", str(len(reply)))
            self.end_headers()
            self.wfile.write(reply)

        def log_message(self, *args):
            pass

    server = http.server.ThreadingHTTPServer(("127.0.0.1", 0), Authority)
    threading.Thread(target=server.serve_forever, daemon=True).start()
    return server
