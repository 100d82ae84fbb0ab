#!/usr/bin/env python3
# prompt_test.py: zor-host's prompt driven through a pseudo-terminal: blocks entered over several
# lines with the continuation prompt, a history recall with the up arrow (and the history file),
# help, and quit. Usage: prompt_test.py ZOR-HOST
import os
import pty
import select
import sys
import tempfile

# Set once the language runs If blocks: the block's body must then have run.
BLOCKS_RUN = True

host = sys.argv[1]
home = tempfile.mkdtemp(prefix="zor-prompt-")
pid, fd = pty.fork()
if pid == 0:
    os.environ["HOME"] = home
    os.execv(host, [host, "--trace"])

seen = b""


def expect(wanted):
    """Reads until `wanted` has come; the bound only keeps a broken prompt from hanging the suite."""
    global seen
    while wanted.encode() not in seen:
        ready, _, _ = select.select([fd], [], [], 30)
        if not ready:
            sys.exit("no %r; the terminal showed:\n%r" % (wanted, seen))
        try:
            chunk = os.read(fd, 4096)
        except OSError:
            chunk = b""
        if not chunk:
            sys.exit("end of output before %r; the terminal showed:\n%r" % (wanted, seen))
        seen += chunk
    end = seen.index(wanted.encode()) + len(wanted)
    text, seen = seen[:end].decode(errors="replace"), seen[end:]
    return text


def send(text):
    os.write(fd, text.encode())


expect("zor> ")

# A block over several lines: the continuation prompt until it closes, nested blocks included.
send("If (1 = 1)\r")
expect("...> ")
send("  while (1 = 0)\r")
expect("...> ")
send("  End while\r")
expect("...> ")
send('  print("inside")\r')
expect("...> ")
send("end IF\r")
shown = expect("zor> ")
if BLOCKS_RUN:
    assert "inside\r\n" in shown, shown

# History: the up arrow brings back the last line, which runs again; the file keeps it.
send('print("again" + "")\r' if BLOCKS_RUN else 'print("again")\r')
expect("again\r\n")
expect("zor> ")
send("\x1b[A\r")
shown = expect("zor> ")
assert "again\r\n" in shown, shown
with open(os.path.join(home, ".zor_history"), "rb") as f:
    assert b"again" in f.read()

# Help lists the commands by subsystem, and shows one in full.
send("help\r")
shown = expect("zor> ")
assert "TCP streams:" in shown and "BinHexEncode" in shown, shown
send("help binhexencode\r")
shown = expect("zor> ")
assert "BinHexEncode (19)" in shown and "-43" in shown and "example:" in shown, shown
# Built-ins and keywords have their entries too.
send("help substring\r")
shown = expect("zor> ")
assert "Substring(t; start {; count})" in shown, shown
send("help break\r")
shown = expect("zor> ")
assert "innermost loop" in shown, shown

# Quit ends the session, and the plug-in is shut down.
send("quit\r")
expect("zor-host: call -2")
_, status = os.waitpid(pid, 0)
assert os.WIFEXITED(status) and os.WEXITSTATUS(status) == 0, status
print("prompt: ok")
