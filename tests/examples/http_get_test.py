# http_get_test.py: examples/http_get.zor against python3's http.server on 127.0.0.1: a page and a
# 1 MiB binary file come back byte for byte (sha256), a missing path is a fault with the status line.
# Then https:// URLs from python3's HTTP server wrapped in TLS, with a certificate of an authority the
# test makes: trusted through SSL_CERT_FILE, and refused without it.
import functools
import hashlib
import http.server
import os
import re
import ssl
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
            check(stdout.startswith("HTTP/1.0 200 OK\n"), f"{path}: {stdout!r}")
            check(f"Content-Length:\t{len(expected)}\tbody bytes:\t{len(expected)}" in stdout, f"{path}: {stdout!r}")
            with open(out, "rb") as f:
                got = f.read()
            check(hashlib.sha256(got).hexdigest() == hashlib.sha256(expected).hexdigest(),
                  f"{path}: {len(got)} bytes differ from the {len(expected)} served")
        status, stdout, stderr = run_host("http_get.zor", "127.0.0.1", port, "/missing", os.path.join(folder, "x"))
        check(status == 1 and stderr.endswith("the server answered HTTP/1.0 404 File not found\n"), stderr)
    finally:
        stop(server)

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
        status, stdout, stderr = run_host("http_get.zor", url, out)
        check(status == 0 and stdout.startswith("HTTP/1.0 200 OK\n"), f"{url}: {status} {stdout!r} {stderr!r}")
        with open(out, "rb") as f:
            check(hashlib.sha256(f.read()).digest() == hashlib.sha256(blob).digest(), f"{url}: the body differs")
    finally:
        httpd.shutdown()
print("http_get: ok")
