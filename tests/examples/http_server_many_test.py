# http_server_many_test.py: examples/http_server.zor holding 1,000 connections at once, one process
# each: every connection is opened before any sends, then each sends a request and gets its answer.
import os
import socket
import subprocess
import tempfile

from peers import EXAMPLES, HOST, check, stop, wait_for

COUNT = 1000

with tempfile.TemporaryDirectory() as folder:
    with open(os.path.join(folder, "small.html"), "w") as f:
        f.write("<p>small</p>\n")
    port_file = os.path.join(folder, "port")
    server = subprocess.Popen([HOST, os.path.join(EXAMPLES, "http_server.zor"), port_file, folder, "allow-quit",
                               "timeout=300"],
                              stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True)
    try:
        wait_for(lambda: os.path.exists(port_file) and os.path.getsize(port_file) > 0 or server.poll() is not None,
                 what="the server")
        if server.poll() is not None:
            check(False, "the server stopped: " + server.stderr.read())
        with open(port_file) as f:
            port = int(f.read())
        clients = [socket.create_connection(("127.0.0.1", port), timeout=60) for _ in range(COUNT)]
        # Every connection has its process before any request is sent.
        threads = lambda: len(os.listdir(f"/proc/{server.pid}/task"))
        wait_for(lambda: threads() >= COUNT + 2 or server.poll() is not None, seconds=60, what="1000 processes")
        check(server.poll() is None, "the server stopped while the clients connected")
        for c in clients:
            c.sendall(b"GET /small.html HTTP/1.0\r\n\r\n")
        for i, c in enumerate(clients):
            answer = b""
            while chunk := c.recv(4096):
                answer += chunk
            check(answer.startswith(b"HTTP/1.1 200 OK\r\n") and answer.endswith(b"\r\n\r\n<p>small</p>\n"),
                  f"client {i}: {answer!r}")
            c.close()
        quit_answer = socket.create_connection(("127.0.0.1", port), timeout=60)
        quit_answer.sendall(b"GET /quit HTTP/1.0\r\n\r\n")
        out, err = server.communicate(timeout=60)
        check(server.returncode == 0 and err == "", f"exit status {server.returncode}: {err}")
        check(out.endswith(f"requests served:\t{COUNT + 1}\n"), out)
    finally:
        stop(server)
print("http_server_many: ok")
