# http_server_test.py: examples/http_server.zor against curl and python3 clients on 127.0.0.1: four
# clients that send a byte a second hold up none of 20 ordinary requests (all answered while the four
# are still sending) and get 408 in the end; keep-alive with curl; a 1 MiB file while small pages are
# fetched; 400, 404, 405; /quit only when the command line allows it; HTTPS given a certificate and
# key, driven by curl --cacert.
import concurrent.futures
import os
import socket
import subprocess
import tempfile
import threading
import time

from peers import EXAMPLES, HOST, check, make_authority, stop, wait_for


def start(folder, *flags):
    port_file = os.path.join(folder, "port")
    if os.path.exists(port_file):
        os.unlink(port_file)
    server = subprocess.Popen([HOST, os.path.join(EXAMPLES, "http_server.zor"), port_file, folder, *flags],
                              stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True)
    wait_for(lambda: os.path.exists(port_file) and os.path.getsize(port_file) > 0 or server.poll() is not None,
             what="the server")
    if server.poll() is not None:
        check(False, "the server stopped: " + server.stderr.read())
    with open(port_file) as f:
        return server, int(f.read())


def raw(port, data):
    """Sends bytes as they are and gives everything the server answers until it closes."""
    with socket.create_connection(("127.0.0.1", port), timeout=60) as s:
        s.sendall(data)
        answer = b""
        while chunk := s.recv(65536):
            answer += chunk
        return answer


with tempfile.TemporaryDirectory() as folder:
    with open(os.path.join(folder, "small.html"), "w") as f:
        f.write("<p>small</p>\n")
    big = os.urandom(1 << 20)
    with open(os.path.join(folder, "big.bin"), "wb") as f:
        f.write(big)

    server, port = start(folder)
    try:
        base = f"http://127.0.0.1:{port}"
        # Without allow-quit, /quit is a missing file like any other.
        quit_status = raw(port, b"GET /quit HTTP/1.0\r\n\r\n").split(b"\r\n")[0]
        check(quit_status == b"HTTP/1.1 404 Not Found", f"/quit without the flag: {quit_status!r}")
    finally:
        stop(server)

    server, port = start(folder, "allow-quit")
    try:
        base = f"http://127.0.0.1:{port}"

        # Four clients that send their request a byte a second.
        stalled_done = []
        lock = threading.Lock()

        def stall_slowly():
            with socket.create_connection(("127.0.0.1", port), timeout=60) as s:
                for byte in b"GET /small.html HTTP/1.1\r\n":
                    s.sendall(bytes([byte]))
                    time.sleep(1)
                    try:
                        if s.recv(1, socket.MSG_PEEK | socket.MSG_DONTWAIT):
                            break
                    except BlockingIOError:
                        pass
                answer = b""
                s.settimeout(30)
                try:
                    while chunk := s.recv(4096):
                        answer += chunk
                except OSError:
                    pass
                with lock:
                    stalled_done.append(answer.split(b"\r\n")[0])

        stallers = [threading.Thread(target=stall_slowly) for _ in range(4)]
        for t in stallers:
            t.start()

        def fetch(path):
            done = subprocess.run(["curl", "-s", "-i", "--max-time", "30", base + path], capture_output=True)
            head, _, body = done.stdout.partition(b"\r\n\r\n")
            lines = head.decode("ascii").split("\r\n")
            headers = dict(line.split(": ", 1) for line in lines[1:])
            return path, lines[0], headers, body

        paths = ["/small.html", "/", "/nothing/here", "/small.html?q=1"] * 5
        with concurrent.futures.ThreadPoolExecutor(max_workers=4) as pool:
            answers = list(pool.map(fetch, paths))
        with lock:
            check(stalled_done == [], f"the slow clients were answered before the 20 others: {stalled_done}")
        check(len(answers) == 20, "not every request was answered")
        for path, status, headers, body in answers:
            check(int(headers.get("Content-Length", -1)) == len(body), f"{path}: {headers} for {len(body)} bytes")
            if path.startswith("/small.html"):
                check(status == "HTTP/1.1 200 OK" and body == b"<p>small</p>\n", f"{path}: {status} {body!r}")
                check(headers["Content-Type"].startswith("text/html"), f"{path}: {headers}")
            elif path == "/":
                check(status == "HTTP/1.1 200 OK", f"{path}: {status}")
                check(b"zor-host &lt;serves&gt; &quot;pages&quot; &amp; files" in body, f"{path}: {body!r}")
            else:
                check(status == "HTTP/1.1 404 Not Found", f"{path}: {status}")

        # Keep-alive: curl fetches three paths over one connection.
        done = subprocess.run(["curl", "-s", "-o", "/dev/null", "-o", "/dev/null", "-o", "/dev/null",
                               "-w", "%{http_code} %{num_connects}\n",
                               base + "/small.html", base + "/", base + "/small.html"], capture_output=True, text=True)
        check(done.stdout.split("\n")[:3] == ["200 1", "200 0", "200 0"], f"keep-alive: {done.stdout!r}")

        # A 1 MiB file while small pages are fetched.
        with concurrent.futures.ThreadPoolExecutor(max_workers=5) as pool:
            download = pool.submit(subprocess.run, ["curl", "-s", "--max-time", "60", base + "/big.bin"], capture_output=True)
            smalls = list(pool.map(fetch, ["/small.html"] * 8))
            check(download.result().stdout == big, "the 1 MiB file came back different")
        check(all(s[1] == "HTTP/1.1 200 OK" for s in smalls), f"{smalls}")

        # Faults: a request line that is not HTTP, a method it does not serve.
        check(raw(port, b"garbage\r\n\r\n").startswith(b"HTTP/1.1 400 "), "no 400 for garbage")
        check(raw(port, b"DELETE /small.html HTTP/1.1\r\n\r\n").startswith(b"HTTP/1.1 405 "), "no 405 for DELETE")
        head = raw(port, b"HEAD /small.html HTTP/1.0\r\n\r\n")
        check(head.startswith(b"HTTP/1.1 200 ") and head.endswith(b"\r\n\r\n"), f"HEAD: {head!r}")

        for t in stallers:
            t.join()
        check(stalled_done == [b"HTTP/1.1 408 Request Timeout"] * 4, f"the slow clients got {stalled_done}")

        _, status, _, body = fetch("/quit")
        check(status == "HTTP/1.1 200 OK" and body == b"bye\n", f"/quit: {status} {body!r}")
        out, err = server.communicate(timeout=30)
        check(server.returncode == 0, f"exit status {server.returncode}: {err}")
        check(out.startswith("listening on") and out.endswith("\n") and err == "", f"{out!r} {err!r}")
    finally:
        stop(server)
    # HTTPS: the same pages through TLS sessions, to curl trusting the test's own authority.
    ca, certificate, key = make_authority(folder)
    server, port = start(folder, f"cert={certificate}", f"key={key}")
    try:
        for name in ("localhost", "127.0.0.1"):
            got = subprocess.run(["curl", "-s", "--max-time", "30", "--cacert", ca,
                                  f"https://{name}:{port}/small.html", f"https://{name}:{port}/big.bin"],
                                 capture_output=True)
            check(got.stdout == b"<p>small</p>\n" + big, f"https to {name}: {len(got.stdout)} bytes, {got.stderr!r}")
        untrusted = subprocess.run(["curl", "-s", "--max-time", "30", f"https://localhost:{port}/small.html"],
                                   capture_output=True)
        check(untrusted.returncode == 60, f"curl without the authority: {untrusted.returncode}")
    finally:
        stop(server)
print("http_server: ok")
