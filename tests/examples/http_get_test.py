# http_get_test.py: examples/http_get.zor against python3's http.server on 127.0.0.1: a page and a
# 1 MiB binary file come back byte for byte (sha256), alone and fetched at once; a missing path is a
# fault with the status line; a peer that resets, or sends less than its Content-Length, is a fault.
import hashlib
import os
import re
import socket
import struct
import subprocess
import tempfile
import threading

from peers import check, run_host, stop

with tempfile.TemporaryDirectory() as folder:
    site = os.path.join(folder, "site")
    os.mkdir(site)
    page = b"<!DOCTYPE html>\n<html><body><p>Gr\xc3\xbc\xc3\x9fe from the server</p></body></html>\n"
    with open(os.path.join(site, "index.html"), "wb") as f:
        f.write(page)
    blob = os.urandom(1 << 20)
    with open(os.path.join(site, "blob.bin"), "wb") as f:
        f.write(blob)
    server = subprocess.Popen(["/usr/bin/python3", "-u", "-m", "http.server", "0", "--bind", "127.0.0.1",
                               "--directory", site], stdout=subprocess.PIPE, stderr=subprocess.DEVNULL, text=True)
    try:
        match = re.search(r"port (\d+)", server.stdout.readline())
        check(match is not None, "http.server did not say its port")
        port = match.group(1)
        for path, expected in (("/index.html", page), ("/blob.bin", blob)):
            out = os.path.join(folder, "out")
            status, stdout, stderr = run_host("http_get.zor", "127.0.0.1", port, path, out)
            check(status == 0, f"{path}: exit status {status}: {stderr}")
            check(stdout.startswith(f"{path}\tHTTP/1.0 200 OK\n"), f"{path}: {stdout!r}")
            check(f"Content-Length:\t{len(expected)}\tbody bytes:\t{len(expected)}" in stdout, f"{path}: {stdout!r}")
            with open(out, "rb") as f:
                got = f.read()
            check(hashlib.sha256(got).hexdigest() == hashlib.sha256(expected).hexdigest(),
                  f"{path}: {len(got)} bytes differ from the {len(expected)} served")
        status, stdout, stderr = run_host("http_get.zor", "127.0.0.1", port, "/missing", os.path.join(folder, "x"))
        check(status == 1 and stderr.endswith("the server answered HTTP/1.0 404 File not found (process /missing)\n"), stderr)
        outs = [os.path.join(folder, name) for name in ("a", "b")]
        status, stdout, stderr = run_host("http_get.zor", "127.0.0.1", port, "/blob.bin", outs[0], "/index.html", outs[1])
        check(status == 0 and stdout.count("200 OK") == 2, f"two at once: {status} {stdout!r} {stderr}")
        with open(outs[0], "rb") as a, open(outs[1], "rb") as b:
            check(a.read() == blob and b.read() == page, "two at once: a body differs")
    finally:
        stop(server)

    # A peer that cuts its answers short: a reset after the head, a close before Content-Length.
    listener = socket.socket()
    listener.bind(("127.0.0.1", 0))
    listener.listen(4)

    def cut():
        for _ in range(2):
            conn, _ = listener.accept()
            request = conn.recv(4096)
            if b"/reset" in request:
                conn.sendall(b"HTTP/1.0 200 OK\r\n\r\npart of a body")
                conn.setsockopt(socket.SOL_SOCKET, socket.SO_LINGER, struct.pack("ii", 1, 0))
            else:
                conn.sendall(b"HTTP/1.0 200 OK\r\nContent-Length: 1000\r\n\r\nten bytes.")
            conn.close()

    threading.Thread(target=cut, daemon=True).start()
    port = str(listener.getsockname()[1])
    status, _, stderr = run_host("http_get.zor", "127.0.0.1", port, "/reset", os.path.join(folder, "r"))
    check(status == 1 and "the connection was reset (process /reset)" in stderr, f"reset: {status} {stderr}")
    status, _, stderr = run_host("http_get.zor", "127.0.0.1", port, "/short", os.path.join(folder, "s"))
    check(status == 1 and "the body has 10 bytes, Content-Length said 1000" in stderr, f"short: {status} {stderr}")
print("http_get: ok")
