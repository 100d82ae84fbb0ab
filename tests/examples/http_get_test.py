# http_get_test.py: examples/http_get.zor against python3's http.server on 127.0.0.1: a page and a
# 1 MiB binary file come back byte for byte (sha256), a missing path is a fault with the status line.
import hashlib
import os
import re
import subprocess
import tempfile

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
print("http_get: ok")
