# chat_relay_test.py: examples/chat_relay.zor with three python3 clients: one sends 300 long lines, one
# reads them all in order, one never reads and so loses only its own lines past the bound; a line
# goes the other way; /quit ends the relay, which aborts the process stuck on the silent client.
import os
import socket
import subprocess
import tempfile
import threading

from peers import EXAMPLES, HOST, check, stop, wait_for

LINES = 300

with tempfile.TemporaryDirectory() as folder:
    port_file = os.path.join(folder, "port")
    relay = subprocess.Popen([HOST, os.path.join(EXAMPLES, "chat_relay.zor"), port_file],
                             stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True)
    try:
        wait_for(lambda: os.path.exists(port_file) and os.path.getsize(port_file) > 0 or relay.poll() is not None,
                 what="the relay")
        with open(port_file) as f:
            port = int(f.read())
        clients = []
        for name in "ABC":
            s = socket.socket()
            if name == "C":
                s.setsockopt(socket.SOL_SOCKET, socket.SO_RCVBUF, 4096)
            s.settimeout(60)
            s.connect(("127.0.0.1", port))
            clients.append(s)
            check(relay.stdout.readline().startswith("joined"), "a client was not seen to join")
        a, b, c = clients

        def lines_of(sock, count):
            got, data = [], b""
            while len(got) < count:
                chunk = sock.recv(65536)
                check(chunk != b"", "the relay closed early")
                data += chunk
                *whole, data = data.split(b"\n")
                got += whole
            return got

        sent = [b"A %04d " % i + b"x" * 1000 for i in range(LINES)]
        received = []
        reader = threading.Thread(target=lambda: received.extend(lines_of(b, LINES)))
        reader.start()
        a.sendall(b"".join(line + b"\n" for line in sent))
        reader.join(120)
        check(received == sent, f"B got {len(received)} of {LINES} lines, or out of order")
        b.sendall(b"B says hi\n")
        check(lines_of(a, 1) == [b"B says hi"], "A did not get B's line")
        a.sendall(b"/quit\n")
        out, err = relay.communicate(timeout=60)
        check(relay.returncode == 0 and err == "", f"exit status {relay.returncode}: {err}")
        fields = out.split()
        relayed, dropped = int(fields[1]), int(fields[3])
        check(dropped > 0 and relayed + dropped == 2 * LINES + 2, out)
        # C gets the lines that fitted, in order, the first ones first.
        c.settimeout(10)
        data = b""
        while chunk := c.recv(65536):
            data += chunk
        got = data.split(b"\n")[:-1]
        check(0 < len(got) < LINES and got == sent[:len(got)], f"C got {len(got)} lines")
    finally:
        stop(relay)
print("chat_relay: ok")
