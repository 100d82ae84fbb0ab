# tls_test.py: TLS on streams through zor-host against python3's ssl module on 127.0.0.1, with a
# certificate authority made here by openssl: good and bad certificates, plain, silent and vanishing
# peers, the data paths through a session, truncated and corrupted sessions, the server side, and
# descriptors and memory over many handshakes.
import hashlib
import os
import signal
import socket
import ssl
import subprocess
import sys
import tempfile
import threading

HOST = sys.argv[1]                     # zor-host
SCRIPTS = os.path.dirname(os.path.abspath(__file__)) + "/tls"
SANITIZED = b"libasan" in open(HOST, "rb").read()


def check(condition, message):
    if not condition:
        raise SystemExit("FAILED: " + message)


def openssl(*arguments):
    subprocess.run(["openssl", *arguments], check=True, capture_output=True)


def make_certificates(folder):
    """An authority, and certificates for localhost and 127.0.0.1: good, wrong name, expired, self-signed."""
    ec = ["-newkey", "ec", "-pkeyopt", "ec_paramgen_curve:prime256v1", "-nodes"]
    p = lambda name: os.path.join(folder, name)
    openssl("req", "-x509", *ec, "-keyout", p("ca.key"), "-out", p("ca.pem"), "-subj", "/CN=zor test authority",
            "-days", "2")
    for name, names, days in (("good", "DNS:localhost,IP:127.0.0.1", "2"), ("other", "DNS:other.example", "2"),
                              ("expired", "DNS:localhost,IP:127.0.0.1", "-1")):
        with open(p(name + ".ext"), "w") as f:
            f.write(f"subjectAltName={names}\n")
        openssl("req", *ec, "-keyout", p(name + ".key"), "-out", p(name + ".csr"), "-subj", "/CN=" + name)
        openssl("x509", "-req", "-in", p(name + ".csr"), "-CA", p("ca.pem"), "-CAkey", p("ca.key"), "-out",
                p(name + ".pem"), "-days", days, "-extfile", p(name + ".ext"))
    openssl("req", "-x509", *ec, "-keyout", p("self.key"), "-out", p("self.pem"), "-subj", "/CN=localhost",
            "-addext", "subjectAltName=DNS:localhost", "-days", "2")


class Peer:
    """A listener on 127.0.0.1 whose connections run `serve(connection)` one after the other."""

    def __init__(self, serve, certificate=None):
        self.serve, self.received, self.errors = serve, [], []
        self.context = None
        if certificate:
            self.context = ssl.SSLContext(ssl.PROTOCOL_TLS_SERVER)
            self.context.load_cert_chain(certificate + ".pem", certificate + ".key")
        self.listener = socket.create_server(("127.0.0.1", 0))
        self.port = self.listener.getsockname()[1]
        threading.Thread(target=self.run, daemon=True).start()

    def run(self):
        while True:
            try:
                connection, _ = self.listener.accept()
            except OSError:
                return
            try:
                if self.context:
                    connection = self.context.wrap_socket(connection, server_side=True)
                self.serve(self, connection)
            except (OSError, ssl.SSLError) as e:
                self.errors.append(e)
            finally:
                connection.close()

    def close(self):
        self.listener.close()


def run_script(name, *arguments, env=None, timeout=120):
    done = subprocess.run([HOST, os.path.join(SCRIPTS, name), *map(str, arguments)], capture_output=True,
                          text=True, timeout=timeout, env=env)
    check(done.returncode == 0, f"{name} {arguments}: status {done.returncode}: {done.stderr}")
    return done.stdout


def read_all(connection):
    data = b""
    while chunk := connection.recv(65536):
        data += chunk
    return data


with tempfile.TemporaryDirectory() as folder:
    make_certificates(folder)
    cert = lambda name: os.path.join(folder, name)
    env = dict(os.environ, SSL_CERT_FILE=cert("ca.pem"), SSL_CERT_DIR=folder + "/none")

    # Certificates: the good one is taken by name and by address, and bit 1 takes any; the others
    # are refused with their status, and the peer gets no byte of data.
    def talk(peer, connection):
        peer.received.append(read_all(connection))
    for name, flags, certificate, expected in (("localhost", 0, "good", 0), ("127.0.0.1", 0, "good", 0),
                                               ("localhost", 0, "self", -3), ("localhost", 0, "other", -4),
                                               ("localhost", 0, "expired", -8), ("localhost", 2, "self", 0),
                                               ("", 0, "good", -1)):
        peer = Peer(talk, cert(certificate))
        out = run_script("client.zor", peer.port, name, flags, "handshake", env=env)
        start = out.splitlines()[0].split("\t")
        check(int(start[1]) == expected, f"{certificate} as {name!r}, flags {flags}: {out!r}")
        check(int(start[3]) == (8 if expected == 0 else 20 if expected != -1 else 8), f"state: {out!r}")
        if expected == 0:
            check("info\t0\tTLSv1.3\t" in out and "CN=" in out, out)
        peer.close()
        check(not any(peer.received), f"{certificate}: data reached the peer: {peer.received}")

    # Peers that are no TLS server: plain text, silence (the 1-second time-out), a close.
    def plain(peer, connection):
        connection.sendall(b"220 plain text here\r\n" * 20)
        read_all(connection)
    def silent(peer, connection):
        read_all(connection)
    def vanish(peer, connection):
        pass
    for serve, expected in ((plain, -2), (silent, -6), (vanish, -5)):
        peer = Peer(serve)
        out = run_script("client.zor", peer.port, "localhost", 256, "handshake", env=env)
        check(out.startswith(f"start\t{expected}\t"), f"{serve.__name__}: {out!r}")
        peer.close()

    # A handshake that stalls ends at the host's cancel (zor-host asks for it on SIGINT), long before
    # its 30-second time-out.
    accepted = threading.Event()
    peer = Peer(lambda p, c: (c.recv(1), accepted.set(), read_all(c)))  # the ClientHello has come
    client = subprocess.Popen([HOST, os.path.join(SCRIPTS, "client.zor"), str(peer.port), "localhost", "0",
                               "handshake"], stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True, env=env)
    check(accepted.wait(20), "no handshake")
    client.send_signal(signal.SIGINT)
    check(client.wait(timeout=20) == 130, f"after SIGINT: {client.communicate()}")
    peer.close()

    # Every data path through the session: queued lines, a file, then a file received, cleanly
    # ended or cut without close_notify (which the receive reports).
    sent = os.urandom(300000)
    back = os.urandom(200000)
    with open(cert("sent.bin"), "wb") as f:
        f.write(sent)
    def exchange(peer, connection, clean):
        data = b""
        while not data.endswith(b"END\n"):
            chunk = connection.recv(65536)
            if not chunk:
                break
            data += chunk
        peer.received.append(data)
        connection.sendall(back)
        if clean:
            connection.unwrap()
    for clean in (True, False):
        peer = Peer(lambda p, c: exchange(p, c, clean), cert("good"))
        out = run_script("client.zor", peer.port, "localhost", 0, "exchange", cert("sent.bin"), cert("back.bin"),
                         env=env)
        lines = "".join(f"line {i}\n" for i in range(1, 11)).encode()
        check("queued\t71\t0\n" in out, out)
        check(peer.received == [lines + sent + b"END\n"], f"the peer got {len(b''.join(peer.received))} bytes")
        with open(cert("back.bin"), "rb") as f:
            check(hashlib.sha256(f.read()).digest() == hashlib.sha256(back).digest(), "the received file differs")
        check(f"received\t{0 if clean else -1}\n" in out, f"clean {clean}: {out!r}")
        peer.close()

    # TcpWaitData sees the peer's end through the session: after a close_notify it gives -1 and the
    # receive 0; after a close without one, -1 and the receive's failure (the stream failed).
    def wait_end(peer, connection, clean):
        connection.sendall(b"x" * 70000)
        if clean:
            connection.unwrap()
    for clean, last in ((True, "-1\t0\t14"), (False, "-1\t-1\t20")):
        peer = Peer(lambda p, c: wait_end(p, c, clean), cert("good"))
        out = run_script("client.zor", peer.port, "localhost", 0, "wait", env=env, timeout=60)
        check(f"wait\t70000\t{last}\n" in out, f"wait, clean {clean}: {out!r}")
        peer.close()

    # Garbage in the middle of a session: the receive fails and so does the stream.
    def garbage(peer, connection):
        connection.sendall(b"first")
        raw = socket.socket(fileno=os.dup(connection.fileno()))
        raw.sendall(b"\x17\x03\x03\x00\x20" + b"\x55" * 32)
        raw.close()
        read_all(connection)
    peer = Peer(garbage, cert("good"))
    out = run_script("client.zor", peer.port, "localhost", 0, "receive", env=env)
    check("receive\t5\t-1\t20\n" in out, out)  # the first record's bytes, then the failure
    peer.close()

    # The server side: python's client checks zor's certificate against the authority and gets its
    # lines echoed.
    server = subprocess.Popen([HOST, os.path.join(SCRIPTS, "server.zor"), cert("good.pem"), cert("good.key")],
                              stdout=subprocess.PIPE, text=True)
    check(server.stdout.readline() == "credentials\t0\n", "credentials")
    port = int(server.stdout.readline().split("\t")[1]) % 65536  # a 16-bit output, signed
    context = ssl.create_default_context(cafile=cert("ca.pem"))
    with context.wrap_socket(socket.create_connection(("127.0.0.1", port)), server_hostname="localhost") as c:
        c.sendall(b"hello\nQUIT\n")
        echoed = read_all(c)
    check(echoed == b"echo hello\necho QUIT\n", repr(echoed))
    rest = server.communicate(timeout=30)[0]
    check(rest.startswith("start\t0\tTLSv1.3\t\n") and "close\t0\n" in rest, rest)

    # Many handshakes: descriptors flat, and memory flat (the sanitizer build checks leaks instead).
    def handshake_only(peer, connection):
        read_all(connection)
    peer = Peer(handshake_only, cert("good"))
    repeat = subprocess.Popen([HOST, os.path.join(SCRIPTS, "client.zor"), str(peer.port), "localhost", "0", "repeat",
                               "1000" if not SANITIZED else "200"], stdout=subprocess.PIPE, text=True, env=env)
    samples = []
    for _ in range(2):
        check(repeat.stdout.readline().startswith("done"), "repeat")
        fds = len(os.listdir(f"/proc/{repeat.pid}/fd"))
        with open(f"/proc/{repeat.pid}/status") as f:
            rss = next(int(line.split()[1]) for line in f if line.startswith("VmRSS"))
        samples.append((fds, rss))
    check(repeat.wait(timeout=60) == 0, "repeat failed")
    peer.close()
    check(samples[0][0] == samples[1][0], f"descriptors grew: {samples}")
    check(SANITIZED or samples[1][1] - samples[0][1] < 2048, f"memory grew: {samples}")
print("tls: ok")
