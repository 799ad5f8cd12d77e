#!/usr/bin/python3
"""An SMTP server on 127.0.0.1 for the mail channel's tests.

Takes mail over STARTTLS (required before anything else) or over TLS from the first byte, only
after a login with the given user and password; "plain" offers no TLS at all, and writes every
login it is offered to the file "logins". Each message it takes is written to the folder
as N.eml (the bytes as received) and N.json (what Python's email package reads from them: the
envelope, the headers, the subject decoded and each part with its type, charset, encoding and
decoded text). Prints its port on one line, then serves until it is killed.
"""

import argparse
import asyncio
import email
import email.header
import email.policy
import json
import os
import socket
import logging
import ssl
import warnings

from aiosmtpd.smtp import SMTP, AuthResult


def parse_args():
    p = argparse.ArgumentParser()
    p.add_argument("--mode", choices=["starttls", "tls", "plain"], required=True)
    p.add_argument("--cert", required=True)
    p.add_argument("--key", required=True)
    p.add_argument("--user", required=True)
    p.add_argument("--password", required=True)
    p.add_argument("--out", required=True)
    return p.parse_args()


def describe(raw: bytes, envelope) -> dict:
    message = email.message_from_bytes(raw, policy=email.policy.compat32)
    subject_raw = message.get("Subject", "")
    subject = str(email.header.make_header(email.header.decode_header(subject_raw)))
    parts = []
    for part in message.walk():
        if part.is_multipart():
            continue
        payload = part.get_payload(decode=True) or b""
        charset = part.get_content_charset() or "us-ascii"
        parts.append({
            "type": part.get_content_type(),
            "charset": charset,
            "encoding": part.get("Content-Transfer-Encoding", ""),
            "text": payload.decode(charset),
        })
    return {
        "mail_from": envelope.mail_from,
        "rcpt_tos": envelope.rcpt_tos,
        "content_type": message.get_content_type(),
        "subject_raw": subject_raw,
        "subject": subject,
        "subject_lines": [len(line) for line in subject_raw.replace("\r\n", "\n").split("\n")],
        "date": message.get("Date", ""),
        "date_parsed": email.utils.parsedate_tz(message.get("Date", "")) is not None,
        "message_id": message.get("Message-ID", ""),
        "from": message.get("From", ""),
        "to": message.get("To", ""),
        "mime_version": message.get("MIME-Version", ""),
        "defects": [type(d).__name__ for d in message.defects],
        "parts": parts,
    }


class Handler:
    def __init__(self, out):
        self.out = out
        self.count = 0

    async def handle_RCPT(self, server, session, envelope, address, rcpt_options):
        # A mailbox that does not exist, and one whose server asks to come back later.
        if address.startswith("nobody@"):
            return "550 5.1.1 No such mailbox"
        if address.startswith("later@"):
            return "451 4.3.0 Try again later"
        envelope.rcpt_tos.append(address)
        return "250 OK"

    async def handle_DATA(self, server, session, envelope):
        raw = envelope.original_content
        with open(os.path.join(self.out, f"{self.count}.eml"), "wb") as f:
            f.write(raw)
        info = describe(raw, envelope)
        info["tls"] = session.ssl is not None or server.transport.get_extra_info("sslcontext") is not None
        path = os.path.join(self.out, f"{self.count}.json")
        with open(path + ".part", "w", encoding="utf-8") as f:
            json.dump(info, f, ensure_ascii=False)
        os.rename(path + ".part", path)
        self.count += 1
        return "250 OK"


def main():
    import email.utils  # noqa: F401  (parsedate_tz)
    args = parse_args()
    # With TLS from the first byte aiosmtpd does not know the connection is private and warns
    # that a login is required without TLS.
    warnings.filterwarnings("ignore", message="Requiring AUTH while not requiring TLS")
    logging.getLogger("mail.log").setLevel(logging.ERROR)
    context = ssl.create_default_context(ssl.Purpose.CLIENT_AUTH)
    context.load_cert_chain(args.cert, args.key)

    def authenticator(server, session, envelope, mechanism, auth_data):
        with open(os.path.join(args.out, "logins"), "a", encoding="utf-8") as f:
            f.write(auth_data.login.decode() + "\n")
        ok = (auth_data.login.decode() == args.user and
              auth_data.password.decode() == args.password)
        # Not handled: the server itself answers a refusal with 535.
        return AuthResult(success=ok, handled=ok)

    handler = Handler(args.out)
    starttls = args.mode == "starttls"

    def factory():
        return SMTP(handler, hostname="localhost", authenticator=authenticator,
                    auth_required=True, auth_require_tls=starttls,
                    tls_context=context if starttls else None, require_starttls=starttls)

    loop = asyncio.new_event_loop()
    sock = socket.socket(socket.AF_INET, socket.SOCK_STREAM)
    sock.bind(("127.0.0.1", 0))
    sock.listen()
    server = loop.run_until_complete(
        loop.create_server(factory, sock=sock, ssl=context if args.mode == "tls" else None))
    print(sock.getsockname()[1], flush=True)
    try:
        loop.run_forever()
    finally:
        server.close()


if __name__ == "__main__":
    main()
