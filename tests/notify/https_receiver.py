#!/usr/bin/python3
"""An HTTPS server on 127.0.0.1 that stands in for Telegram's bot API and for a webhook's receiver.

Each request is written to the folder as N.json: method, path, headers and body (as text). The
answers are given in turn by --answer STATUS:BODY (the last one repeats). Prints its port on one
line, then serves until it is killed.
"""

import argparse
import http.server
import json
import os
import ssl


def main():
    p = argparse.ArgumentParser()
    p.add_argument("--cert", required=True)
    p.add_argument("--key", required=True)
    p.add_argument("--out", required=True)
    p.add_argument("--answer", action="append", default=[])
    args = p.parse_args()
    answers = [a.split(":", 1) for a in args.answer] or [["200", "{\"ok\":true}"]]
    count = [0]

    class Receiver(http.server.BaseHTTPRequestHandler):
        protocol_version = "HTTP/1.1"

        def do_POST(self):
            length = int(self.headers.get("Content-Length", "0"))
            body = self.rfile.read(length)
            n = count[0]
            count[0] += 1
            record = {
                "method": self.command,
                "path": self.path,
                "headers": {k.lower(): v for k, v in self.headers.items()},
                "body": body.decode("utf-8"),
            }
            path = os.path.join(args.out, f"{n}.json")
            with open(path + ".part", "w", encoding="utf-8") as f:
                json.dump(record, f, ensure_ascii=False)
            os.rename(path + ".part", path)
            status, text = answers[min(n, len(answers) - 1)]
            data = text.encode("utf-8")
            self.send_response(int(status))
            self.send_header("Content-Type", "application/json")
            self.send_header("Content-Length", str(len(data)))
            self.end_headers()
            self.wfile.write(data)

        def log_message(self, format, *args):
            pass

    server = http.server.ThreadingHTTPServer(("127.0.0.1", 0), Receiver)
    context = ssl.create_default_context(ssl.Purpose.CLIENT_AUTH)
    context.load_cert_chain(args.cert, args.key)
    server.socket = context.wrap_socket(server.socket, server_side=True)
    print(server.server_address[1], flush=True)
    server.serve_forever()


if __name__ == "__main__":
    main()
