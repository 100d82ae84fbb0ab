# processes.py: zor-host's processes on the network against python3 in the same run: 200 request/reply
# round trips over one connection (TcpWaitData vs a blocking socket loop); examples/http_server.zor vs
# `python3 -m http.server` on the same small page under wrk at 1, 16 and 64 connections and on a 1 MiB
# file at 16; the same server's p99 with 4 stalled clients; its processor time while idle; resident
# memory per process with 1,000 processes each holding a connection.
#
#   python3 bench/processes.py BUILD_DIR [SECONDS]   (SECONDS of wrk per run, default 5)
import os
import re
import socket
import subprocess
import sys
import tempfile
import threading
import time

BUILD = sys.argv[1]
SECONDS = int(sys.argv[2]) if len(sys.argv) > 2 else 5
HOST = os.path.join(BUILD, "zor-host")
ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
SERVER = os.path.join(ROOT, "examples", "http_server.zor")


def row(name, zor, peer, ratio, goal, met):
    print(f"{name:<72}  {zor:<52}  {peer:<31}  {ratio:<9}  {goal:<15}  {met}")


def echo_server(rounds):
    listener = socket.socket()
    listener.bind(("127.0.0.1", 0))
    listener.listen(1)

    def serve():
        conn, _ = listener.accept()
        conn.setsockopt(socket.IPPROTO_TCP, socket.TCP_NODELAY, 1)
        for _ in range(rounds):
            data = conn.recv(100)
            if not data:
                break
            conn.sendall(data)
        conn.close()
        listener.close()

    threading.Thread(target=serve, daemon=True).start()
    return listener.getsockname()[1]


def ping_pong(rounds=200):
    script = tempfile.NamedTemporaryFile("w", suffix=".zor", delete=False)
    script.write(f"""$s := TcpOpen("127.0.0.1"; Num(Argument(1)); 0; 0; 0; 0; 0)
$state := TcpWaitState($s; 8; 5)
$start := Milliseconds
For ($i; 1; {rounds})
  $r := TcpSend($s; "ping\\n"; 0; 0)
  $n := TcpWaitData($s; 600)
  $got := TcpReceive($s; $reply; 0; 0)
End for
print(ElapsedMilliseconds($start))
$r := TcpRelease($s; 0)
""")
    script.close()
    port = echo_server(rounds)
    zor = float(subprocess.run([HOST, script.name, str(port)], capture_output=True, text=True).stdout)
    os.unlink(script.name)
    port = echo_server(rounds)
    with socket.create_connection(("127.0.0.1", port)) as s:
        s.setsockopt(socket.IPPROTO_TCP, socket.TCP_NODELAY, 1)
        start = time.perf_counter()
        for _ in range(rounds):
            s.sendall(b"ping\n")
            s.recv(100)
        python = (time.perf_counter() - start) * 1000
    row(f"{rounds} round trips, TcpWaitData vs python3 blocking socket", f"{zor:.1f} ms", f"{python:.1f} ms",
        f"{zor / max(python, 0.001):.2f}", "<=2", "yes" if zor <= 2 * python else "no")


def wrk(url, connections, seconds=SECONDS):
    out = subprocess.run(["wrk", "-t", str(min(connections, 4)), "-c", str(connections), "-d", f"{seconds}s",
                          "--latency", url], capture_output=True, text=True).stdout
    rate = float(re.search(r"Requests/sec:\s+([\d.]+)", out).group(1))
    p99 = re.search(r"99%\s+([\d.]+)(us|ms|s)", out)
    scale = {"us": 0.001, "ms": 1.0, "s": 1000.0}[p99.group(2)] if p99 else 0
    transfer = re.search(r"Transfer/sec:\s+([\d.]+)(\w+)", out)
    return rate, float(p99.group(1)) * scale if p99 else float("nan"), transfer.group(1) + transfer.group(2)


def start_zor(folder):
    port_file = os.path.join(folder, "port")
    if os.path.exists(port_file):
        os.unlink(port_file)
    server = subprocess.Popen([HOST, SERVER, port_file, folder, "timeout=600"], stdout=subprocess.DEVNULL)
    while not (os.path.exists(port_file) and os.path.getsize(port_file) > 0):
        time.sleep(0.05)
    with open(port_file) as f:
        return server, int(f.read())


def start_python(folder):
    probe = socket.socket()
    probe.bind(("127.0.0.1", 0))
    port = probe.getsockname()[1]
    probe.close()
    server = subprocess.Popen([sys.executable, "-m", "http.server", "-b", "127.0.0.1", str(port)], cwd=folder,
                              stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    while True:
        try:
            socket.create_connection(("127.0.0.1", port)).close()
            return server, port
        except OSError:
            time.sleep(0.1)


def cpu_seconds(pid):
    """Processor time of all the process's threads, in nanoseconds where the kernel keeps them
    (schedstat), else in clock ticks (/proc/PID/stat: 10 ms steps, too coarse for an idle host)."""
    total = 0
    try:
        for task in os.listdir(f"/proc/{pid}/task"):
            total += int(open(f"/proc/{pid}/task/{task}/schedstat").read().split()[0])
        return total / 1e9
    except (OSError, ValueError, IndexError):
        fields = open(f"/proc/{pid}/stat").read().rsplit(")", 1)[1].split()
        return (int(fields[11]) + int(fields[12])) / os.sysconf("SC_CLK_TCK")


def resident_kib(pid):
    return int(re.search(r"VmRSS:\s+(\d+)", open(f"/proc/{pid}/status").read()).group(1))


def main():
    ping_pong()
    if os.environ.get("ZOR_BENCH_ONLY") == "pingpong":
        return
    with tempfile.TemporaryDirectory() as folder:
        with open(os.path.join(folder, "small.html"), "w") as f:
            f.write("<html><body><p>a small page</p></body></html>\n")
        with open(os.path.join(folder, "big.bin"), "wb") as f:
            f.write(os.urandom(1 << 20))
        zor, zor_port = start_zor(folder)
        python, python_port = start_python(folder)
        try:
            for connections in (1, 16, 64):
                z = wrk(f"http://127.0.0.1:{zor_port}/small.html", connections)
                p = wrk(f"http://127.0.0.1:{python_port}/small.html", connections)
                row(f"http_server.zor vs python3 -m http.server, small page, {connections} conn (req/s)",
                    f"{z[0]:.0f} req/s, p99 {z[1]:.2f} ms", f"{p[0]:.0f} req/s, p99 {p[1]:.2f} ms",
                    f"{z[0] / p[0]:.2f}", ">=2" + (", p99 lower" if connections == 64 else ""),
                    "yes" if z[0] >= 2 * p[0] and (connections != 64 or z[1] < p[1]) else "no")
                if connections == 64:
                    base_p99 = z[1]
            z = wrk(f"http://127.0.0.1:{zor_port}/big.bin", 16)
            p = wrk(f"http://127.0.0.1:{python_port}/big.bin", 16)
            row("http_server.zor vs python3 -m http.server, 1 MiB file, 16 conn", f"{z[0]:.1f} req/s ({z[2]}/s)",
                f"{p[0]:.1f} req/s ({p[2]}/s)", f"{z[0] / p[0]:.2f}", ">=1", "yes" if z[0] >= p[0] else "no")

            stalled = [socket.create_connection(("127.0.0.1", zor_port)) for _ in range(4)]
            for s in stalled:
                s.sendall(b"GET /small.html HTTP/1.1\r\n")  # and nothing more
            z = wrk(f"http://127.0.0.1:{zor_port}/small.html", 64)
            row("http_server.zor p99 at 64 conn with 4 stalled clients vs without", f"{z[1]:.2f} ms", f"{base_p99:.2f} ms",
                f"{z[1] - base_p99:+.2f} ms", "<=+10 ms", "yes" if z[1] - base_p99 <= 10 else "no")
            for s in stalled:
                s.close()

            time.sleep(1)
            before = cpu_seconds(zor.pid)
            time.sleep(10)
            idle = (cpu_seconds(zor.pid) - before) / 10 * 100
            row("http_server.zor processor time while idle, 10 s", f"{idle:.3f} %", "-", "-", "<0.1 %",
                "yes" if idle < 0.1 else "no")

            before = resident_kib(zor.pid)
            clients = [socket.create_connection(("127.0.0.1", zor_port)) for _ in range(1000)]
            while len(os.listdir(f"/proc/{zor.pid}/task")) < 1002:
                time.sleep(0.1)
            per = (resident_kib(zor.pid) - before) / 1000
            row("resident memory per process, 1,000 processes each holding a connection", f"{per:.1f} KiB", "-", "-",
                "<64 KiB", "yes" if per < 64 else "no")
            for c in clients:
                c.close()
        finally:
            zor.terminate()
            python.terminate()
            zor.wait()
            python.wait()


main()
