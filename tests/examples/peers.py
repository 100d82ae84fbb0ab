# peers.py: helpers the example tests share: running zor-host and stopping the peers they start.
import os
import subprocess
import sys
import time

HOST = sys.argv[1]      # the zor-host program
EXAMPLES = sys.argv[2]  # the examples folder


def run_host(script, *arguments, timeout=120):
    """Runs an example to its end; gives (status, standard output, standard error)."""
    done = subprocess.run([HOST, os.path.join(EXAMPLES, script), *arguments], capture_output=True,
                          text=True, timeout=timeout)
    return done.returncode, done.stdout, done.stderr


def stop(process):
    """Stops a peer process this test started, and waits for it."""
    if process.poll() is None:
        process.terminate()
        try:
            process.wait(timeout=10)
        except subprocess.TimeoutExpired:
            process.kill()
            process.wait()


def wait_for(predicate, seconds=30, what="the peer"):
    deadline = time.monotonic() + seconds
    while not predicate():
        if time.monotonic() > deadline:
            raise SystemExit(f"{what} did not come up within {seconds} seconds")
        time.sleep(0.05)


def check(condition, message):
    if not condition:
        raise SystemExit("FAILED: " + message)


def make_authority(folder):
    """A certificate authority (ca.pem) and a certificate for localhost and 127.0.0.1 that it signed
    (server.pem, server.key), made by openssl in the folder."""
    def openssl(*arguments):
        subprocess.run(["openssl", *arguments], check=True, capture_output=True, cwd=folder)
    ec = ["-newkey", "ec", "-pkeyopt", "ec_paramgen_curve:prime256v1", "-nodes"]
    openssl("req", "-x509", *ec, "-keyout", "ca.key", "-out", "ca.pem", "-subj", "/CN=zor example authority",
            "-days", "2")
    with open(os.path.join(folder, "server.ext"), "w") as f:
        f.write("subjectAltName=DNS:localhost,IP:127.0.0.1\n")
    openssl("req", *ec, "-keyout", "server.key", "-out", "server.csr", "-subj", "/CN=localhost")
    openssl("x509", "-req", "-in", "server.csr", "-CA", "ca.pem", "-CAkey", "ca.key", "-out", "server.pem",
            "-days", "2", "-extfile", "server.ext")
    return os.path.join(folder, "ca.pem"), os.path.join(folder, "server.pem"), os.path.join(folder, "server.key")
