# smtp_send_test.py: examples/smtp_send.zor against a small SMTP receiver on 127.0.0.1. The mail that
# arrives is parsed with python3's email package (headers, a Date: within a minute of now, the body
# with its dot-stuffing undone); a receiver that refuses the recipient stops the script with the reply.
# A receiver that offers STARTTLS, and refuses mail without it, gets the mail over TLS.
import email
import email.policy
import email.utils
import os
import socket
import ssl
import tempfile
import threading
import time

from peers import check, make_authority, run_host


def receiver(listener, refuse, mail, tls=None):
    """Serves one SMTP session; keeps the message data in mail['data'] and the envelope. With a TLS
    context it offers STARTTLS and refuses mail until the session is in TLS."""
    connection, _ = listener.accept()
    lines = connection.makefile("rb")
    with connection:
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
            if tls and upper == "STARTTLS":
                say("220 go ahead")
                lines.close()
                connection = tls.wrap_socket(connection, server_side=True)
                lines = connection.makefile("rb")
                mail["tls"] = connection.version()
                tls = None
            elif tls and upper.startswith("MAIL FROM:"):
                say("530 5.7.0 Must issue a STARTTLS command first")
            elif upper.startswith("EHLO"):
                say("250-receiver greets you")
                if tls:
                    say("250-STARTTLS")
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


def session(refuse, *arguments, tls=None):
    listener = socket.socket()
    listener.bind(("127.0.0.1", 0))
    listener.listen(1)
    mail = {}
    thread = threading.Thread(target=receiver, args=(listener, refuse, mail, tls))
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
with tempfile.TemporaryDirectory() as folder:
    ca, certificate, key = make_authority(folder)
    context = ssl.SSLContext(ssl.PROTOCOL_TLS_SERVER)
    context.load_cert_chain(certificate, key)
    os.environ["SSL_CERT_FILE"] = ca
    (status, out, err), mail = session(False, "zor@example.org", "you@example.org", "Over TLS", body, tls=context)
check(status == 0, f"over TLS: exit status {status}: {err}")
check(mail.get("tls") == "TLSv1.3" and mail["commands"][:4] == ["EHLO localhost", "STARTTLS", "EHLO localhost",
                                                                "MAIL FROM:<zor@example.org>"], str(mail))
check(b"Subject: Over TLS" in mail["data"], repr(mail["data"]))
print("smtp_send: ok")
