#!/usr/bin/env python3
"""A TLS server on 127.0.0.1 for the endings nginx won't produce: a response cut short with or
without a declared length, and a complete one whose end only the close notice marks.

Each connection gets one response, chosen by the request's path; the body is the pattern
0, 1, ..., 255, 0, ... :
  /cut-declared/N/M  declares Content-Length N, sends M bytes, closes the TCP connection
                     without the TLS close notice
  /cut/M             no Content-Length, M bytes, closes without the close notice
  /whole/M           no Content-Length, M bytes, the close notice, then closes
  /forged/M          declares and sends M bytes, then a data record of random bytes that
                     did not come from the TLS layer, then closes
  /plain/M           declares and sends M bytes, then plain text outside any record

A second listener answers the same way but speaks nothing newer than TLS 1.1, for clients
that must refuse old protocols.

usage: tls_fault_server.py --cert FILE --key FILE [--lifetime S] [--watch-stdin]
Prints "PORT <n> <m>" (the listener, the TLS 1.1 one; from 20000 to 32767) once listening. Ends on SIGTERM/SIGINT, after its lifetime, and (with
--watch-stdin) when its standard input reaches end of file.
"""

import argparse
import os
import random
import select
import signal
import socket
import ssl
import sys
import threading
import time
import warnings

HOST = "127.0.0.1"
MAX_BODY = 64 * 1024 * 1024
MAX_REQUEST = 64 * 1024


def pattern(count):
    return (bytes(range(256)) * (count // 256 + 1))[:count]


class Connection:
    """TLS over memory buffers, so the server decides exactly what reaches the socket."""

    def __init__(self, sock, context):
        self.sock = sock
        self.incoming, self.outgoing = ssl.MemoryBIO(), ssl.MemoryBIO()
        self.tls = context.wrap_bio(self.incoming, self.outgoing, server_side=True)

    def flush(self):
        data = self.outgoing.read()
        if data:
            self.sock.sendall(data)

    def pull(self):
        data = self.sock.recv(65536)
        if not data:
            raise EOFError
        self.incoming.write(data)

    def handshake(self):
        while True:
            try:
                self.tls.do_handshake()
                self.flush()
                return
            except ssl.SSLWantReadError:
                self.flush()
                self.pull()

    def read_request(self):
        request = b""
        while b"\r\n\r\n" not in request and len(request) < MAX_REQUEST:
            try:
                request += self.tls.read(65536)
            except ssl.SSLWantReadError:
                self.flush()
                self.pull()
        return request

    def close_notice(self):
        try:
            self.tls.unwrap()
        except ssl.SSLWantReadError:
            pass  # our notice is out; the client's answer is not awaited
        self.flush()


def respond(conn, path):
    parts = path.strip("/").split("/")
    try:
        numbers = [min(int(p), MAX_BODY) for p in parts[1:]]
    except ValueError:
        numbers = []
    if parts[0] == "cut-declared" and len(numbers) == 2:
        header, body, notice = f"Content-Length: {numbers[0]}\r\n", pattern(numbers[1]), False
    elif parts[0] in ("cut", "whole") and len(numbers) == 1:
        header, body, notice = "", pattern(numbers[0]), parts[0] == "whole"
    elif parts[0] in ("forged", "plain") and len(numbers) == 1:
        header, body, notice = f"Content-Length: {numbers[0]}\r\n", pattern(numbers[0]), False
    else:
        header, body, notice = "Content-Length: 0\r\n", b"", True
        conn.tls.write(b"HTTP/1.0 404 Not Found\r\n" + header.encode() + b"\r\n")
        conn.flush()
        conn.close_notice()
        return
    conn.tls.write(b"HTTP/1.0 200 OK\r\n" + header.encode() + b"\r\n")
    for i in range(0, len(body), 16384):
        conn.tls.write(body[i:i + 16384])
        conn.flush()
    if parts[0] == "forged":
        conn.sock.sendall(b"\x17\x03\x03\x00\x40" + os.urandom(64))
    elif parts[0] == "plain":
        conn.sock.sendall(b"HTTP/1.0 200 OK\r\n\r\nnot a record")
    if notice:
        conn.close_notice()


def serve(sock, context):
    try:
        sock.settimeout(10)
        conn = Connection(sock, context)
        conn.handshake()
        request = conn.read_request()
        line = request.split(b"\r\n", 1)[0].split(b" ")
        respond(conn, line[1].decode("latin-1") if len(line) > 1 else "/")
    except (OSError, EOFError, ssl.SSLError):
        pass
    finally:
        sock.close()


def listen():
    """A listener on a port from 20000 to 32767, which the control's 16-bit signed port can
    name."""
    listener = socket.socket()
    for _ in range(200):
        try:
            listener.bind((HOST, random.randint(20000, 32767)))
            break
        except OSError:
            continue
    else:
        listener.bind((HOST, 0))
    listener.listen(16)
    return listener


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("--cert", required=True)
    ap.add_argument("--key", required=True)
    ap.add_argument("--lifetime", type=float, default=600)
    ap.add_argument("--watch-stdin", action="store_true")
    args = ap.parse_args()

    context = ssl.SSLContext(ssl.PROTOCOL_TLS_SERVER)
    context.minimum_version = ssl.TLSVersion.TLSv1_2
    context.load_cert_chain(args.cert, args.key)
    old = ssl.SSLContext(ssl.PROTOCOL_TLS_SERVER)
    old.set_ciphers("DEFAULT:@SECLEVEL=0")
    with warnings.catch_warnings():
        warnings.simplefilter("ignore", DeprecationWarning)  # old on purpose
        old.minimum_version = ssl.TLSVersion.TLSv1
        old.maximum_version = ssl.TLSVersion.TLSv1_1
    old.load_cert_chain(args.cert, args.key)
    listeners = {listen(): context, listen(): old}
    ports = " ".join(str(s.getsockname()[1]) for s in listeners)
    print(f"PORT {ports}", flush=True)

    stopping = []
    signal.signal(signal.SIGTERM, lambda *_: stopping.append(1))
    signal.signal(signal.SIGINT, lambda *_: stopping.append(1))
    deadline = time.monotonic() + args.lifetime
    while not stopping and time.monotonic() < deadline:
        if args.watch_stdin and select.select([sys.stdin], [], [], 0)[0]:
            if not os.read(sys.stdin.fileno(), 1024):
                break
        for listener in select.select(list(listeners), [], [], 0.2)[0]:
            sock, _ = listener.accept()
            sock.setblocking(True)
            threading.Thread(target=serve, args=(sock, listeners[listener]), daemon=True).start()
    for listener in listeners:
        listener.close()


if __name__ == "__main__":
    main()
