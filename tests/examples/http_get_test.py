# http_get_test.py: examples/http_get.zor against python3's http.server on 127.0.0.1: a page and a
# 1 MiB binary file come back byte for byte (sha256), alone and fetched at once; a missing path is a
# fault with the status line and the others of its run go on; a peer that resets, sends less than its
# Content-Length or a Content-Length that is no 32-bit length is a fault. Then https:// URLs from python3's HTTP server wrapped in TLS, with a certificate of an authority the
# test makes: trusted through SSL_CERT_FILE, and refused without it.
import functools
import hashlib
import http.server
import os
import re
import socket
import ssl
import struct
import subprocess
import tempfile
import threading

from peers import check, make_authority, run_host, stop

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
        outs = [os.path.join(folder, name) for name in ("a", "b", "c")]
        status, stdout, stderr = run_host("http_get.zor", "127.0.0.1", port, "/blob.bin", outs[0], "/index.html", outs[1],
                                          "/missing", outs[2])
        check(status == 1 and stdout.count("200 OK") == 2 and stderr.count("404") == 1,
              f"three at once: {status} {stdout!r} {stderr}")
        with open(outs[0], "rb") as a, open(outs[1], "rb") as b:
            check(a.read() == blob and b.read() == page, "three at once: a body differs")
    finally:
        stop(server)

    # A peer that cuts its answers short, or gives a length no 32-bit count holds; fetched at once.
    listener = socket.socket()
    listener.bind(("127.0.0.1", 0))
    listener.listen(8)
    answers = {b"/short": b"HTTP/1.0 200 OK\r\nContent-Length: 1000\r\n\r\nten bytes.",
               b"/huge": b"HTTP/1.0 200 OK\r\nContent-Length: 4294967306\r\n\r\nten bytes.",
               b"/over": b"HTTP/1.0 200 OK\r\nContent-Length: 4\r\n\r\nten bytes."}

    def cut():
        while True:
            conn, _ = listener.accept()
            request = conn.recv(4096)
            path = request.split(b" ")[1]
            if path == b"/reset":
                conn.sendall(b"HTTP/1.0 200 OK\r\n\r\npart of a body")
                conn.setsockopt(socket.SOL_SOCKET, socket.SO_LINGER, struct.pack("ii", 1, 0))
            else:
                conn.sendall(answers[path])
            conn.close()

    threading.Thread(target=cut, daemon=True).start()
    port = str(listener.getsockname()[1])
    place = lambda name: os.path.join(folder, name)
    status, stdout, stderr = run_host("http_get.zor", "127.0.0.1", port, "/reset", place("r"), "/short", place("s"),
                                      "/huge", place("h"), "/over", place("o"))
    check(status == 1, f"cut answers: {status} {stderr}")
    check("the connection was reset (process /reset)" in stderr, f"reset: {stderr}")
    check("the body has 10 bytes, Content-Length said 1000 (process /short)" in stderr, f"short: {stderr}")
    check("Content-Length 4294967306 is not a length this client can take (process /huge)" in stderr, f"huge: {stderr}")
    check(stdout == "/over\tHTTP/1.0 200 OK\n/over\theaders:\t1\tContent-Length:\t4\tbody bytes:\t4\n",
          f"over: {stdout!r} {stderr}")
    with open(place("o"), "rb") as f:
        check(f.read() == b"ten ", "over: the body is not the first 4 bytes")

    ca, certificate, key = make_authority(folder)
    context = ssl.SSLContext(ssl.PROTOCOL_TLS_SERVER)
    context.load_cert_chain(certificate, key)
    httpd = http.server.ThreadingHTTPServer(
        ("127.0.0.1", 0), functools.partial(http.server.SimpleHTTPRequestHandler, directory=site))
    httpd.socket = context.wrap_socket(httpd.socket, server_side=True)
    threading.Thread(target=httpd.serve_forever, daemon=True).start()
    try:
        url = f"https://localhost:{httpd.server_address[1]}/blob.bin"
        out = os.path.join(folder, "out")
        status, stdout, stderr = run_host("http_get.zor", url, out)
        check(status == 1 and "certificate is not trusted" in stderr, f"untrusted: {status} {stderr!r}")
        os.environ["SSL_CERT_FILE"] = ca
        page_url = url.replace("blob.bin", "index.html")
        status, stdout, stderr = run_host("http_get.zor", url, out, page_url, out + "2")
        check(status == 0 and f"{url}\tHTTP/1.0 200 OK\n" in stdout and f"{page_url}\tHTTP/1.0 200 OK\n" in stdout,
              f"{url}: {status} {stdout!r} {stderr!r}")
        with open(out, "rb") as f, open(out + "2", "rb") as g:
            check(hashlib.sha256(f.read()).digest() == hashlib.sha256(blob).digest() and g.read() == page,
                  f"{url}: a body differs")
    finally:
        httpd.shutdown()
print("http_get: ok")
