# peers.py: helpers the example tests share: running zor-host and stopping the peers they start.
import os
import subprocess
import sys
import time

HOST = sys.argv[1]      # the zor-host program
EXAMPLES = sys.argv[2]  # the examples folder


def run_host(script, *arguments, timeout=120):
    """Runs an example to its end; gives (status, standard output, standard error)."""
    done = subprocess.run([HOST, os.path.join(EXAMPLES, script), *arguments], capture_output=True,
                          text=True, timeout=timeout)
    return done.returncode, done.stdout, done.stderr


def stop(process):
    """Stops a peer process this test started, and waits for it."""
    if process.poll() is None:
        process.terminate()
        try:
            process.wait(timeout=10)
        except subprocess.TimeoutExpired:
            process.kill()
            process.wait()


def wait_for(predicate, seconds=30, what="the peer"):
    deadline = time.monotonic() + seconds
    while not predicate():
        if time.monotonic() > deadline:
            raise SystemExit(f"{what} did not come up within {seconds} seconds")
        time.sleep(0.05)


def check(condition, message):
    if not condition:
        raise SystemExit("FAILED: " + message)
