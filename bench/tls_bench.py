# tls_bench.py: the figures of bench/tls.sh (see there). Prints its measures and BENCH lines.
import functools
import hashlib
import http.server
import os
import socket
import ssl
import subprocess
import sys
import tempfile
import threading
import time

BUILD = sys.argv[1]
HOST = os.path.join(BUILD, "zor-host")
EXAMPLES = os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "examples")
sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "tests", "examples"))
sys.argv[1:] = [HOST, EXAMPLES]
from peers import make_authority  # noqa: E402


def timed(command, **options):
    start = time.monotonic()
    subprocess.run(command, check=True, stdout=subprocess.DEVNULL, **options)
    return time.monotonic() - start


def free_port():
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


def bench(name, zor, peer, ratio, goal, met):
    print(f"BENCH\t{name}\t{zor}\t{peer}\t{ratio:.2f}\t{goal}\t{met}")


with tempfile.TemporaryDirectory() as folder:
    ca, certificate, key = make_authority(folder)
    env = dict(os.environ, SSL_CERT_FILE=ca)
    context = ssl.SSLContext(ssl.PROTOCOL_TLS_SERVER)
    context.load_cert_chain(certificate, key)
    size = 100 << 20
    with open(os.path.join(folder, "big.bin"), "wb") as f:
        f.write(os.urandom(size))

    # 100 MiB over HTTPS from python3's HTTP server in TLS: the example against curl.
    httpd = http.server.ThreadingHTTPServer(
        ("127.0.0.1", 0), functools.partial(http.server.SimpleHTTPRequestHandler, directory=folder))
    httpd.socket = context.wrap_socket(httpd.socket, server_side=True)
    httpd.RequestHandlerClass.log_message = lambda *a: None
    threading.Thread(target=httpd.serve_forever, daemon=True).start()
    url = f"https://localhost:{httpd.server_address[1]}/big.bin"
    out = os.path.join(folder, "out.bin")
    zor = min(timed([HOST, os.path.join(EXAMPLES, "http_get.zor"), url, out], env=env) for _ in range(2))
    check = os.path.getsize(out) == size
    curl = min(timed(["curl", "-s", "--cacert", ca, "-o", out, url]) for _ in range(2))
    httpd.shutdown()
    print(f"100 MiB over HTTPS: http_get.zor {zor:.2f} s, curl {curl:.2f} s (body complete: {check})")
    bench("100 MiB over HTTPS: http_get.zor vs curl (wall time)", f"{zor:.2f} s", f"{curl:.2f} s", curl / zor,
          ">=0.8", "yes" if check and curl / zor >= 0.8 else "no")

    # A TcpSend loop of 32000-byte texts over TLS into a zor-host receiver, against openssl s_client
    # sending the same bytes to s_server.
    mib = 200
    with open(os.path.join(folder, "send.zor"), "w") as f:
        f.write(f"""$s := TcpOpen("127.0.0.1"; Num(Argument(1)); 0; 0; 0; 0; 0)
$r := TcpWaitState($s; 8; 10)
$r := TcpStartTls($s; "localhost"; 0)
$text := ReadFile(Argument(2); True)
For ($i; 1; {mib * 1048576 // 32000})
  $r := TcpSend($s; $text; 0; 0)
End for
$r := TcpClose($s)
$r := TcpRelease($s; 0)
""")
    with open(os.path.join(folder, "receive.zor"), "w") as f:
        f.write(f"""$r := TlsServerCredentials(Argument(2); Argument(3))
$l := TcpListen(0; 0; Num(Argument(1)); 0; 0; 0; 0x7F000001)
print("ready")
$r := TcpWaitState($l; 8; 30)
$r := TcpStartTls($l; ""; 1)
$r := TcpReceiveFile($l; "/dev/null"; 0; 0; 30)
""")
    with open(os.path.join(folder, "piece.bin"), "wb") as f:
        f.write(os.urandom(32000))
    total = mib * 1048576 // 32000 * 32000
    with open(os.path.join(folder, "stream.bin"), "wb") as f:
        f.write(os.urandom(total))

    def zor_pair():
        port = free_port()
        receiver = subprocess.Popen([HOST, os.path.join(folder, "receive.zor"), str(port), certificate, key],
                                    stdout=subprocess.PIPE, text=True)
        receiver.stdout.readline()
        start = time.monotonic()
        subprocess.run([HOST, os.path.join(folder, "send.zor"), str(port), os.path.join(folder, "piece.bin")],
                       env=env, check=True)
        receiver.wait()
        return time.monotonic() - start

    def openssl_pair():
        port = free_port()
        server = subprocess.Popen(["openssl", "s_server", "-quiet", "-naccept", "1", "-accept", f"127.0.0.1:{port}",
                                   "-cert", certificate, "-key", key], stdin=subprocess.PIPE,
                                  stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        listening = f":{port:04X} 00000000:0000 0A"
        while not any(listening in line for line in open("/proc/net/tcp")):
            time.sleep(0.01)
        start = time.monotonic()
        with open(os.path.join(folder, "stream.bin"), "rb") as data:
            subprocess.run(["openssl", "s_client", "-quiet", "-no_ign_eof", "-nocommands", "-connect", f"127.0.0.1:{port}",
                            "-CAfile", ca, "-verify_return_error"], stdin=data, stdout=subprocess.DEVNULL,
                           stderr=subprocess.PIPE, check=True)
        server.wait()
        return time.monotonic() - start

    zor = min(zor_pair() for _ in range(2))
    peer = min(openssl_pair() for _ in range(2))
    rate = lambda seconds: total / seconds / 1e6
    print(f"{mib} MiB over TLS: zor-host to zor-host {rate(zor):.0f} MB/s, s_client to s_server {rate(peer):.0f} MB/s")
    bench(f"TcpSend over TLS, zor to zor vs openssl s_client to s_server", f"{rate(zor):.0f} MB/s",
          f"{rate(peer):.0f} MB/s", peer / zor, "-", "-")

    # 1,000 handshakes in a row against python3's TLS server: zor-host against python3's client.
    count = 1000
    listener = context.wrap_socket(socket.create_server(("127.0.0.1", 0)), server_side=True)
    port = listener.getsockname()[1]

    def serve():
        while True:
            try:
                connection, _ = listener.accept()
                connection.close()
            except ssl.SSLError:
                continue
            except OSError:
                return
    threading.Thread(target=serve, daemon=True).start()
    with open(os.path.join(folder, "handshakes.zor"), "w") as f:
        f.write(f"""For ($i; 1; {count})
  $s := TcpOpen("127.0.0.1"; {port}; 0; 0; 0; 0; 0)
  $r := TcpWaitState($s; 8; 10)
  If (TcpStartTls($s; "localhost"; 0) # 0)
    Throw("handshake failed")
  End if
  $r := TcpClose($s)
  $r := TcpRelease($s; 0)
End for
""")
    with open(os.path.join(folder, "handshakes.py"), "w") as f:
        f.write(f"""import socket, ssl
context = ssl.create_default_context(cafile={ca!r})
for i in range({count}):
    with context.wrap_socket(socket.create_connection(("127.0.0.1", {port})), server_hostname="localhost"):
        pass
""")
    zor = timed([HOST, os.path.join(folder, "handshakes.zor")], env=env) / count
    peer = timed(["/usr/bin/python3", os.path.join(folder, "handshakes.py")]) / count
    listener.close()
    print(f"{count} handshakes: zor-host {zor * 1e3:.2f} ms each, python3 {peer * 1e3:.2f} ms each")
    bench(f"{count} TLS handshakes vs python3's client (time per handshake)", f"{zor * 1e3:.2f} ms",
          f"{peer * 1e3:.2f} ms", peer / zor, "-", "-")
