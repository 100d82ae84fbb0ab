# http_server_test.py: examples/http_server.zor driven by curl on 127.0.0.1: 24 requests, 4 at once,
# over the page, the GIF and missing paths; every status line and Content-Length is checked and
# Pillow decodes the GIF; /quit stops the server with exit status 0. Then the same over HTTPS, with a
# certificate of an authority the test makes, which curl is given.
import concurrent.futures
import io
import os
import subprocess
import tempfile

from PIL import Image

from peers import EXAMPLES, HOST, check, make_authority, stop, wait_for

with tempfile.TemporaryDirectory() as folder:
    ca, server_pem, server_key = make_authority(folder)
    for tls in (False, True):
        chart = os.path.join(folder, "chart.png")
        image = Image.new("RGB", (120, 80), "white")
        for i, height in enumerate((20, 50, 35, 70)):
            image.paste((200, 40 * i, 60), (10 + i * 27, 80 - height, 31 + i * 27, 80))
        image.save(chart)
        port_file = os.path.join(folder, "port" + str(tls))
        credentials = [server_pem, server_key] if tls else []
        server = subprocess.Popen([HOST, os.path.join(EXAMPLES, "http_server.zor"), port_file, chart, *credentials],
                                  stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True)
        try:
            wait_for(lambda: os.path.exists(port_file) and os.path.getsize(port_file) > 0 or server.poll() is not None,
                     what="the server")
            if server.poll() is not None:
                check(False, "the server stopped: " + server.stderr.read())
            with open(port_file) as f:
                base = f"{'https' if tls else 'http'}://127.0.0.1:{int(f.read())}"

            def fetch(path):
                trust = ["--cacert", ca] if tls else []
                done = subprocess.run(["curl", "-s", "-i", "--max-time", "30", *trust, base + path], capture_output=True)
                head, _, body = done.stdout.partition(b"\r\n\r\n")
                lines = head.decode("ascii").split("\r\n")
                headers = dict(line.split(": ", 1) for line in lines[1:])
                return path, lines[0], headers, body

            paths = ["/", "/chart.gif", "/nothing/here", "/?q=1"] * 6
            with concurrent.futures.ThreadPoolExecutor(max_workers=4) as pool:
                answers = list(pool.map(fetch, paths))
            check(len(answers) == 24, "not every request was answered")
            for path, status, headers, body in answers:
                check(int(headers.get("Content-Length", -1)) == len(body), f"{path}: {headers} for {len(body)} bytes")
                if path in ("/", "/?q=1"):
                    check(status == "HTTP/1.0 200 OK", f"{path}: {status}")
                    check(headers["Content-Type"].startswith("text/html"), f"{path}: {headers}")
                    check(b"zor-host &lt;serves&gt; &quot;pages&quot; &amp; pictures" in body, f"{path}: {body!r}")
                elif path == "/chart.gif":
                    check(status == "HTTP/1.0 200 OK" and headers["Content-Type"] == "image/gif", f"{path}: {status}")
                    gif = Image.open(io.BytesIO(body))
                    check(gif.format == "GIF" and gif.size == (120, 80), f"{gif.format} {gif.size}")
                    gif.load()
                    check(gif.convert("RGB").getpixel((0, 0)) == (255, 255, 255), "the GIF's corner is not white")
                else:
                    check(status == "HTTP/1.0 404 Not Found", f"{path}: {status}")
            _, status, _, body = fetch("/quit")
            check(status == "HTTP/1.0 200 OK" and body == b"bye\n", f"/quit: {status} {body!r}")
            out, err = server.communicate(timeout=30)
            check(server.returncode == 0, f"exit status {server.returncode}: {err}")
            check(out.endswith("requests served:\t25\n") and err == "", f"{out!r} {err!r}")
        finally:
            stop(server)
print("http_server: ok")
