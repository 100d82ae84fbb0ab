# smtp_send_test.py: examples/smtp_send.zor against a small SMTP receiver on 127.0.0.1. The mail that
# arrives is parsed with python3's email package (headers, a Date: within a minute of now, the body
# with its dot-stuffing undone); a receiver that refuses the recipient stops the script with the reply.
import email
import email.policy
import email.utils
import socket
import threading
import time

from peers import check, run_host


def receiver(listener, refuse, mail):
    """Serves one SMTP session; keeps the message data in mail['data'] and the envelope."""
    connection, _ = listener.accept()
    with connection, connection.makefile("rb") as lines:
        def say(text):
            connection.sendall(text.encode("ascii") + b"\r\n")

        say("220 receiver ready")
        while True:
            line = lines.readline()
            if not line:
                return
            verb = line.decode("ascii").strip()
            mail.setdefault("commands", []).append(verb)
            upper = verb.upper()
            if upper.startswith("EHLO"):
                say("250-receiver greets you")
                say("250-8BITMIME")
                say("250 SIZE 100000")
            elif upper.startswith("MAIL FROM:"):
                say("250 sender ok")
            elif upper.startswith("RCPT TO:"):
                say("550 5.1.1 no such mailbox" if refuse else "250 recipient ok")
            elif upper == "DATA":
                say("354 end with a dot")
                data = []
                while True:
                    row = lines.readline()
                    if row in (b".\r\n", b""):
                        break
                    data.append(row[1:] if row.startswith(b".") else row)
                mail["data"] = b"".join(data)
                say("250 queued")
            elif upper == "QUIT":
                say("221 bye")
                return
            else:
                say("502 not here")


def session(refuse, *arguments):
    listener = socket.socket()
    listener.bind(("127.0.0.1", 0))
    listener.listen(1)
    mail = {}
    thread = threading.Thread(target=receiver, args=(listener, refuse, mail))
    thread.start()
    try:
        result = run_host("smtp_send.zor", "127.0.0.1", str(listener.getsockname()[1]), *arguments)
    finally:
        thread.join(timeout=60)
        listener.close()
    return result, mail


body = "Hello from zor-host.\\n.a line that starts with a dot\\n\\nThe end."
(status, out, err), mail = session(False, "zor@example.org", "you@example.org", "A test mail", body)
check(status == 0, f"exit status {status}: {err}")
check(out == "sent\t4\tbody lines from\tzor@example.org\tto\tyou@example.org\n", out)
check(mail["commands"][:3] == ["EHLO localhost", "MAIL FROM:<zor@example.org>", "RCPT TO:<you@example.org>"],
      str(mail["commands"]))
message = email.message_from_bytes(mail["data"], policy=email.policy.default)
check(message["From"].addresses[0].addr_spec == "zor@example.org", str(message["From"]))
check(message["To"].addresses[0].addr_spec == "you@example.org", str(message["To"]))
check(message["Message-ID"].endswith("@zor-host>"), str(message["Message-ID"]))
check(message["Subject"] == "A test mail", message["Subject"])
sent = email.utils.parsedate_to_datetime(message["Date"]).timestamp()
check(abs(sent - time.time()) < 60, f"Date: {message['Date']} is not now")
check(message.get_content().replace("\r\n", "\n") == "Hello from zor-host.\n.a line that starts with a dot\n\nThe end.\n",
      repr(message.get_content()))

(status, out, err), mail = session(True, "zor@example.org", "nobody@example.org", "refused", "x")
check(status == 1, f"exit status {status}")
check(err.endswith("the server refused RCPT TO:<nobody@example.org>: 550 5.1.1 no such mailbox\n"), err)
check("DATA" not in mail["commands"], str(mail["commands"]))
print("smtp_send: ok")
