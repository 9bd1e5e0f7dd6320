#!/usr/bin/env python3
"""Scriptable TCP server for tests: produces the byte-level behaviour a real server won't.

Listens on 127.0.0.1 only. Every accepted connection runs a script: a list of actions.
The n-th connection of a listener runs the n-th script of its list; connections after the
last script run the last one again (an empty list of scripts accepts and closes).

Actions (JSON objects, "op" names the action):
  {"op": "send", DATA, "piece": n, "pause": s}
        DATA is one of "text": "..." (each character one byte, Latin-1), "hex": "0aff..",
        "pattern": n (n bytes counting 0, 1, ... 255, 0, ...). Sent in pieces of n bytes
        (default: all at once) with s seconds between pieces; "pieces": [a, b, ...] gives
        explicit piece sizes instead (the rest goes in one last piece).
  {"op": "recv", "count": n, "timeout": s}   read until n bytes have arrived in total
  {"op": "recv", "until": "text", "timeout": s} read until the received bytes contain text
  {"op": "echo"}               send back everything received so far on this connection
  {"op": "pause", "seconds": s}
  {"op": "silent", "seconds": s} do nothing but read until the client closes or s pass
  {"op": "close", "drain": s}  graceful close: FIN, then read what the client still sends
                               (at most s seconds) and close
  {"op": "reset"}              close with SO_LINGER 0: the client gets a reset
  {"op": "cut"}                over TLS: close without the close notice (plain: as "close")
  {"op": "package", "size": n, "etag": "E", "range": R, "length": true, "upto": k, "piece": n,
   "pause": s}  answers the request received so far with the pattern of n bytes: R "honour"
        answers "Range: bytes=N-" with 206 from N (unless an If-Range names another tag),
        "ignore" with 200, "shift" with a 206 that starts 100 bytes later than asked;
        "length": false leaves Content-Length out; the body stops at byte k of the package
        (default: its end); the actions after it end the connection.
A script that ends without "close" or "reset" closes gracefully.

Two ways to run it:
  --script JSON | --script-file FILE   one listener with that list of scripts (on a port
        from 20000 to 32767 with --low-port); prints
        "PORT <n>" on stdout (and writes it to --port-file); with --record-dir, every finished
        connection leaves conn-<i>.bin (what the client sent) and conn-<i>.end (how it ended).
  --control   a control listener; prints "PORT <n>" of the control port. Each request is one
        line, each answer one line beginning with "OK" or "ERR":
          LISTEN <json list of scripts>  -> OK <port>
          LISTEN_LOW <json list>         -> OK <port>  (a port from 20000 to 32767)
          LISTEN_TLS <json list>         -> OK <port>  (the same, every connection speaking TLS
                                            with --cert/--key: the scripts' bytes travel
                                            encrypted; the handshake runs at the first send
                                            or read, so a script that closes or resets first
                                            does so before any TLS byte; "close" sends the
                                            close notice first, "cut" closes without it)
          REFUSED                        -> OK <port>  (bound, never listening: refused)
          REFUSED_LOW                    -> OK <port>  (the same from 20000 to 32767)
          FULL_LOW                       -> OK <port>  (listening, accept queue full, never
                                            accepting: connects to it never complete)
          WAIT <port> <index> <seconds>  -> OK <end> <hex of what the client sent>
                                            <bytes the server sent>
                                            once connection <index> (from 0) has finished
          ACCEPTED <port> [<n>]          -> OK <count>  (first waits up to 5 s for n)
          CLOSE <port>                   -> OK
          PING                           -> OK
The server exits on SIGTERM/SIGINT, after --lifetime seconds, and (with --watch-stdin) when
its standard input reaches end of file, so that it never outlives the process that started it.
"""

import argparse
import json
import os
import random
import signal
import socket
import ssl
import struct
import sys
import threading
import time

HOST = "127.0.0.1"
DEFAULT_TIMEOUT = 5.0
MAX_RECORD = 64 * 1024 * 1024  # a client that sends more is cut off
MAX_WAIT = 60.0


def data_of(action):
    if "text" in action:
        return action["text"].encode("latin-1")
    if "hex" in action:
        return bytes.fromhex(action["hex"])
    if "pattern" in action:
        n = int(action["pattern"])
        return (bytes(range(256)) * (n // 256 + 1))[:n]
    return b""


def pieces_of(data, action):
    if "pieces" in action:
        out, pos = [], 0
        for size in action["pieces"]:
            out.append(data[pos:pos + int(size)])
            pos += int(size)
        if pos < len(data):
            out.append(data[pos:])
        return [p for p in out if p]
    piece = int(action.get("piece", 0))
    if piece <= 0:
        return [data] if data else []
    return [data[i:i + piece] for i in range(0, len(data), piece)]


class TlsSocket:
    """An accepted socket with TLS in between, as far as Connection uses a socket: what the
    script sends and reads is the plain text inside the records."""

    def __init__(self, sock, context):
        self.raw = sock
        self.incoming, self.outgoing = ssl.MemoryBIO(), ssl.MemoryBIO()
        self.tls = context.wrap_bio(self.incoming, self.outgoing, server_side=True)
        self.started = False
        self.notice = True  # the close notice goes before the close
        self.closing = False

    def settimeout(self, seconds):
        self.raw.settimeout(seconds)

    def setsockopt(self, *args):
        self.raw.setsockopt(*args)

    def flush(self):
        data = self.outgoing.read()
        if data:
            self.raw.sendall(data)

    def pull(self):
        data = self.raw.recv(65536)
        if not data:
            return False
        self.incoming.write(data)
        return True

    def start(self):
        while not self.started:
            try:
                self.tls.do_handshake()
                self.started = True
            except ssl.SSLWantReadError:
                self.flush()
                if not self.pull():
                    raise ConnectionResetError("the client left during the handshake")
        self.flush()

    def recv(self, size):
        if self.closing:
            # After the close notice only the client's end is awaited.
            while self.raw.recv(65536):
                pass
            return b""
        self.start()
        while True:
            try:
                return self.tls.read(size)
            except ssl.SSLWantReadError:
                self.flush()
                if not self.pull():
                    return b""
            except ssl.SSLZeroReturnError:
                return b""

    def sendall(self, data):
        self.start()
        self.tls.write(data)
        self.flush()

    def shutdown(self, how):
        self.closing = True
        if self.started and self.notice:
            try:
                self.tls.unwrap()
            except (ssl.SSLWantReadError, ssl.SSLError):
                pass  # our notice is out; the client's answer is not awaited
            try:
                self.flush()
            except OSError:
                pass
        self.raw.shutdown(how)

    def close(self):
        self.raw.close()


class Connection:
    """One accepted connection running its script in its own thread."""

    def __init__(self, sock, script):
        self.sock = sock
        self.script = script
        self.received = bytearray()
        self.sent = 0
        self.end = None  # "closed", "reset-sent", "eof", "reset", "error"
        self.peer_gone = None
        self.done = threading.Event()

    def run(self):
        try:
            self.sock.settimeout(DEFAULT_TIMEOUT)
            finished = False
            for action in self.script:
                op = action.get("op")
                if op == "send":
                    self.do_send(action)
                elif op == "recv":
                    self.do_recv(action)
                elif op == "package":
                    self.do_package(action)
                elif op == "echo":
                    self.send_bytes(bytes(self.received))
                elif op == "pause":
                    time.sleep(float(action.get("seconds", 0)))
                elif op == "silent":
                    self.read_until(lambda: False, float(action.get("seconds", 10)))
                elif op == "close":
                    self.do_close(float(action.get("drain", 2)))
                    finished = True
                    break
                elif op == "reset":
                    self.do_reset()
                    finished = True
                    break
                elif op == "cut":
                    if isinstance(self.sock, TlsSocket):
                        self.sock.notice = False
                    self.do_close(float(action.get("drain", 2)))
                    finished = True
                    break
                else:
                    raise ValueError("unknown action %r" % (op,))
            if not finished:
                self.do_close(2.0)
        except (OSError, ValueError) as exc:
            if self.end is None:
                gone = isinstance(exc, (ConnectionResetError, BrokenPipeError))
                self.end = self.peer_gone or ("reset" if gone else "error")
            print("fault_server: connection: %s" % exc, file=sys.stderr)
        finally:
            try:
                self.sock.close()
            except OSError:
                pass
            if self.end is None:
                self.end = "closed"
            self.done.set()

    def do_send(self, action):
        parts = pieces_of(data_of(action), action)
        pause = float(action.get("pause", 0))
        for i, part in enumerate(parts):
            if i and pause:
                time.sleep(pause)
            self.send_bytes(part)

    def do_package(self, action):
        size = int(action["size"])
        etag = action.get("etag", "")
        mode = action.get("range", "honour")
        request = bytes(self.received).decode("latin-1")
        start, status = 0, "200 OK"
        for line in request.split("\r\n"):
            name, _, value = line.partition(":")
            name, value = name.strip().lower(), value.strip()
            if name == "range" and value.startswith("bytes=") and value.endswith("-"):
                start = int(value[6:-1])
            if name == "if-range" and value != etag:
                start = -1
        head = []
        if start > 0 and mode != "ignore":
            if start >= size:
                self.send_bytes(b"HTTP/1.0 416 Range Not Satisfiable\r\n\r\n")
                return
            if mode == "shift":
                start = min(start + 100, size - 1)
            status = "206 Partial Content"
            head.append("Content-Range: bytes %d-%d/%d" % (start, size - 1, size))
        else:
            start = 0
        if action.get("length", True):
            head.append("Content-Length: %d" % (size - start))
        if etag:
            head.append("ETag: " + etag)
        text = "HTTP/1.0 %s\r\n%s\r\n\r\n" % (status, "\r\n".join(head))
        self.send_bytes(text.encode("latin-1"))
        upto = int(action.get("upto", size))
        body = (bytes(range(256)) * (size // 256 + 1))[start:max(start, upto)]
        pause = float(action.get("pause", 0))
        for i, part in enumerate(pieces_of(body, action)):
            if i and pause:
                time.sleep(pause)
            self.send_bytes(part)

    def send_bytes(self, data):
        self.sock.sendall(data)
        self.sent += len(data)

    def do_recv(self, action):
        timeout = float(action.get("timeout", DEFAULT_TIMEOUT))
        if "count" in action:
            count = int(action["count"])
            self.read_until(lambda: len(self.received) >= count, timeout)
        else:
            marker = action.get("until", "").encode("latin-1")
            self.read_until(lambda: marker in self.received, timeout)

    def read_until(self, satisfied, timeout):
        """Reads and records until satisfied(), the client closes, or timeout seconds."""
        deadline = time.monotonic() + timeout
        while not satisfied() and self.peer_gone is None:
            left = deadline - time.monotonic()
            if left <= 0:
                return
            self.sock.settimeout(left)
            try:
                chunk = self.sock.recv(65536)
            except socket.timeout:
                return
            except ConnectionResetError:
                self.peer_gone = "reset"
                return
            if not chunk:
                self.peer_gone = "eof"
                return
            self.received += chunk
            if len(self.received) > MAX_RECORD:
                raise ValueError("client sent too much")

    def do_close(self, drain):
        try:
            self.sock.shutdown(socket.SHUT_WR)
        except OSError:
            pass
        self.read_until(lambda: False, drain)
        self.end = self.peer_gone or "closed"

    def do_reset(self):
        self.sock.setsockopt(socket.SOL_SOCKET, socket.SO_LINGER, struct.pack("ii", 1, 0))
        self.sock.close()
        self.end = "reset-sent"


def bind_free(low_port):
    """A socket bound to a free loopback port; with low_port, one from 20000 to 32767, which
    a client that keeps ports in a signed 16-bit number can reach."""
    s = socket.socket(socket.AF_INET, socket.SOCK_STREAM)
    if not low_port:
        s.bind((HOST, 0))
        return s
    for _ in range(200):
        try:
            s.bind((HOST, random.randint(20000, 32767)))
            return s
        except OSError:
            continue
    s.close()
    raise OSError("no free port below 32768")


class Listener:
    """A listening socket on a free loopback port serving connections by script."""

    def __init__(self, scripts, record_dir=None, low_port=False, tls=None):
        self.scripts = scripts
        self.tls = tls
        self.record_dir = record_dir
        self.sock = bind_free(low_port)
        self.sock.listen(16)
        self.port = self.sock.getsockname()[1]
        self.connections = []
        self.changed = threading.Condition()
        self.closed = False
        threading.Thread(target=self.accept_loop, daemon=True).start()

    def accept_loop(self):
        while not self.closed:
            try:
                conn, _ = self.sock.accept()
            except OSError:
                return
            index = len(self.connections)
            script = self.scripts[min(index, len(self.scripts) - 1)] if self.scripts else []
            c = Connection(TlsSocket(conn, self.tls) if self.tls else conn, script)
            with self.changed:
                self.connections.append(c)
                self.changed.notify_all()
            threading.Thread(target=self.serve, args=(c, index), daemon=True).start()

    def serve(self, c, index):
        c.run()
        if self.record_dir:
            base = os.path.join(self.record_dir, "conn-%d" % index)
            with open(base + ".bin", "wb") as f:
                f.write(bytes(c.received))
            with open(base + ".end", "w") as f:
                f.write(c.end + "\n")

    def wait(self, index, timeout):
        deadline = time.monotonic() + min(timeout, MAX_WAIT)
        with self.changed:
            while len(self.connections) <= index:
                left = deadline - time.monotonic()
                if left <= 0:
                    return None
                self.changed.wait(left)
            c = self.connections[index]
        if not c.done.wait(max(0.0, deadline - time.monotonic())):
            return None
        return c

    def accepted(self, at_least, timeout):
        """The connections accepted, once there are at_least or timeout has passed: the
        kernel completes a client's connect before this thread's accept() returns."""
        deadline = time.monotonic() + timeout
        with self.changed:
            while len(self.connections) < at_least:
                left = deadline - time.monotonic()
                if left <= 0:
                    break
                self.changed.wait(left)
            return len(self.connections)

    def close(self):
        self.closed = True
        try:
            self.sock.close()
        except OSError:
            pass


class Control:
    """The line protocol through which a test program steers the server."""

    def __init__(self, tls=None):
        self.tls = tls
        self.listeners = {}
        self.refused = []
        self.lock = threading.Lock()
        self.sock = socket.socket(socket.AF_INET, socket.SOCK_STREAM)
        self.sock.bind((HOST, 0))
        self.sock.listen(8)
        self.port = self.sock.getsockname()[1]
        threading.Thread(target=self.accept_loop, daemon=True).start()

    def accept_loop(self):
        while True:
            try:
                conn, _ = self.sock.accept()
            except OSError:
                return
            threading.Thread(target=self.session, args=(conn,), daemon=True).start()

    def session(self, conn):
        with conn, conn.makefile("rwb") as f:
            for raw in f:
                line = raw.decode("latin-1").strip()
                if not line:
                    continue
                try:
                    answer = self.handle(line)
                except (ValueError, KeyError, IndexError, OSError) as exc:
                    answer = "ERR %s" % exc
                f.write(answer.encode("latin-1") + b"\n")
                f.flush()

    def handle(self, line):
        cmd, _, rest = line.partition(" ")
        cmd = cmd.upper()
        if cmd == "PING":
            return "OK"
        if cmd in ("LISTEN", "LISTEN_LOW", "LISTEN_TLS"):
            scripts = json.loads(rest) if rest else []
            if not isinstance(scripts, list) or not all(isinstance(s, list) for s in scripts):
                raise ValueError("scripts must be a list of lists")
            if cmd == "LISTEN_TLS" and self.tls is None:
                raise ValueError("no certificate: start with --cert and --key")
            listener = Listener(scripts, low_port=(cmd != "LISTEN"),
                                tls=self.tls if cmd == "LISTEN_TLS" else None)
            with self.lock:
                self.listeners[listener.port] = listener
            return "OK %d" % listener.port
        if cmd == "FULL_LOW":
            # Linux keeps backlog + 1 finished connections for accept(); a SYN beyond them is
            # dropped, so a later connect neither completes nor is refused.
            s = bind_free(True)
            s.listen(0)
            fillers = []
            for _ in range(4):
                c = socket.socket(socket.AF_INET, socket.SOCK_STREAM)
                c.setblocking(False)
                c.connect_ex(s.getsockname())
                fillers.append(c)
            time.sleep(0.2)
            with self.lock:
                self.refused.extend([s] + fillers)
            return "OK %d" % s.getsockname()[1]
        if cmd in ("REFUSED", "REFUSED_LOW"):
            s = bind_free(cmd == "REFUSED_LOW")
            with self.lock:
                self.refused.append(s)
            return "OK %d" % s.getsockname()[1]
        if cmd not in ("WAIT", "ACCEPTED", "CLOSE"):
            raise ValueError("unknown command %s" % cmd)
        args = rest.split()
        with self.lock:
            listener = self.listeners.get(int(args[0])) if args else None
        if listener is None:
            raise ValueError("no listener on that port")
        if cmd == "WAIT":
            c = listener.wait(int(args[1]), float(args[2]) if len(args) > 2 else DEFAULT_TIMEOUT)
            if c is None:
                return "ERR timeout"
            return "OK %s %s %d" % (c.end, bytes(c.received).hex(), c.sent)
        if cmd == "ACCEPTED":
            return "OK %d" % listener.accepted(int(args[1]) if len(args) > 1 else 0, 5.0)
        listener.close()
        return "OK"


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--control", action="store_true")
    parser.add_argument("--script")
    parser.add_argument("--script-file")
    parser.add_argument("--port-file")
    parser.add_argument("--low-port", action="store_true",
                        help="listen on a free port from 20000 to 32767")
    parser.add_argument("--record-dir")
    parser.add_argument("--lifetime", type=float, default=300.0)
    parser.add_argument("--watch-stdin", action="store_true")
    parser.add_argument("--cert", help="certificate (PEM) of LISTEN_TLS listeners")
    parser.add_argument("--key", help="its private key (PEM)")
    args = parser.parse_args()

    if args.control:
        tls = None
        if args.cert and args.key:
            tls = ssl.SSLContext(ssl.PROTOCOL_TLS_SERVER)
            tls.minimum_version = ssl.TLSVersion.TLSv1_2
            tls.load_cert_chain(args.cert, args.key)
        port = Control(tls).port
    else:
        text = args.script
        if args.script_file:
            with open(args.script_file) as f:
                text = f.read()
        scripts = json.loads(text) if text else []
        if args.record_dir:
            os.makedirs(args.record_dir, exist_ok=True)
        port = Listener(scripts, args.record_dir, args.low_port).port

    stop = threading.Event()
    signal.signal(signal.SIGTERM, lambda *_: stop.set())
    signal.signal(signal.SIGINT, lambda *_: stop.set())
    if args.port_file:
        tmp = args.port_file + ".tmp"
        with open(tmp, "w") as f:
            f.write("%d\n" % port)
        os.replace(tmp, args.port_file)
    print("PORT %d" % port, flush=True)

    if args.watch_stdin:
        def watch():
            while sys.stdin.buffer.read(4096):
                pass
            stop.set()
        threading.Thread(target=watch, daemon=True).start()

    stop.wait(args.lifetime)
    # Daemon threads end with the process; sockets close with it.
    os._exit(0)


if __name__ == "__main__":
    main()
