#!/usr/bin/env python3
"""A scripted HTTP/HTTPS peer for the client tests: each request path asks
for one behaviour nginx will not show on demand (odd statuses, redirects,
chunked framing faults, early closes, over-long bodies, a first attempt that
fails). Plain HTTP and TLS on two ports of one address; the process ends when
its standard input closes, so a crashed test never leaves it behind.

Paths:
  /data/<n>             200, Content-Length, n bytes of pattern()
  /status/<code>        that status with an empty body (206 carries "partial")
  /hop/<n>              302 to the relative "<n-1>" until n is 0, then 200 "arrived"
  /to/<location>        302 with Location: <location> (percent-decoded)
  /via/<code>/<loc>     that status with Location: <loc>
  /noloc                302 without Location
  /longloc              302 to a rooted path of 301 bytes
  /raw/<name>           the canned response RAW[name], then close
  /pad/<n>              200 whose header block is exactly n bytes, body "tail"
  /once/<key>/<how>     first request for <key>: <how> ("close", "500",
                        "partial", "silent"); later ones: 200 "second"
  /silent               reads the request and never answers
"""
import argparse
import os
import socket
import ssl
import sys
import threading
import time
import urllib.parse


def pattern(n):
    return bytes((i * 7 + (i >> 8)) & 0xFF for i in range(n))


RAW = {
    "chunked-ext": b"HTTP/1.1 200 OK\r\nTransfer-Encoding: Chunked\r\n\r\n"
                   b"5;name=v\r\nhello\r\n1A \r\n" + b"z" * 26 + b"\r\n0\r\n\r\n",
    "chunked-bad": b"HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked\r\n\r\nzz\r\nhello\r\n0\r\n\r\n",
    "chunked-0x": b"HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked\r\n\r\n0x5\r\nhello\r\n0\r\n\r\n",
    "chunked-empty-size": b"HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked\r\n\r\n\r\nhello\r\n0\r\n\r\n",
    "chunked-4095": b"HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked\r\n\r\nfff\r\n" + b"c" * 4095 + b"\r\n0\r\n\r\n",
    "chunked-4094": b"HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked\r\n\r\nffe\r\n" + b"c" * 4094 + b"\r\n0\r\n\r\n",
    "chunked-no-final": b"HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked\r\n\r\n5\r\nhello\r\n",
    "chunked-huge": b"HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked\r\n\r\n100000000\r\nhello\r\n",
    "closed-at-once": b"",
    "closed-in-headers": b"HTTP/1.1 200 OK\r\nContent-Le",
    "closed-in-body": b"HTTP/1.1 200 OK\r\nContent-Length: 1000\r\n\r\n0123456789",
    "over-long": b"HTTP/1.1 200 OK\r\nContent-Length: 5\r\n\r\nhelloWORLD",
    "no-length": b"HTTP/1.1 200 OK\r\n\r\nuntil the end",
    "negative-length": b"HTTP/1.1 200 OK\r\nContent-Length: -4\r\n\r\nstill read",
    "location-last": b"HTTP/1.1 301 Moved\r\nServer: x\r\nlocation:\t/data/3\r\n\r\n",
}

g_seen = {}
g_lock = threading.Lock()


def first_time(key):
    with g_lock:
        g_seen[key] = g_seen.get(key, 0) + 1
        return g_seen[key] == 1


def response(status, body=b"", headers=()):
    head = "HTTP/1.1 %d X\r\nContent-Length: %d\r\n" % (status, len(body))
    head += "".join("%s: %s\r\n" % h for h in headers)
    return head.encode() + b"\r\n" + body


def padded(n):
    head = b"HTTP/1.1 200 OK\r\nContent-Length: 4\r\nX-Pad: "
    pad = n - len(head) - 4
    return head + b"p" * pad + b"\r\n\r\ntail"


def answer(path):
    """The bytes to send for `path`, or None to stay silent."""
    parts = path.split("/")
    kind = parts[1] if len(parts) > 1 else ""
    if kind == "data":
        return response(200, pattern(int(parts[2])))
    if kind == "status":
        code = int(parts[2])
        return response(code, b"partial" if code == 206 else b"")
    if kind == "hop":
        n = int(parts[2])
        if n == 0:
            return response(200, b"arrived")
        return response(302, headers=[("Location", str(n - 1))])
    if kind == "to":
        return response(302, headers=[("Location", urllib.parse.unquote(path[len("/to/"):]))])
    if kind == "via":
        return response(int(parts[2]), headers=[("Location", urllib.parse.unquote("/".join(parts[3:])))])
    if kind == "noloc":
        return response(302)
    if kind == "longloc":
        return response(302, headers=[("Location", "/" + "a" * 300)])
    if kind == "raw":
        return RAW[parts[2]]
    if kind == "pad":
        return padded(int(parts[2]))
    if kind == "once":
        if not first_time(parts[2]):
            return response(200, b"second")
        how = parts[3]
        if how == "close":
            return b""
        if how == "500":
            return response(500)
        if how == "silent":
            return None
        if how == "partial":
            return b"HTTP/1.1 200 OK\r\nContent-Length: 100\r\n\r\nfirst"
    if kind == "silent":
        return None
    return response(404)


def read_request(conn):
    data = b""
    while b"\r\n\r\n" not in data and len(data) < 65536:
        chunk = conn.recv(4096)
        if not chunk:
            return None
        data += chunk
    line = data.split(b"\r\n", 1)[0].decode("latin-1")
    fields = line.split(" ")
    return fields[1] if len(fields) >= 2 else "/"


def serve(conn, tls_context):
    try:
        conn.settimeout(30)
        if tls_context:
            conn = tls_context.wrap_socket(conn, server_side=True)
        path = read_request(conn)
        if path is None:
            return
        out = answer(path)
        if out is None:
            conn.recv(1)  # until the client gives up and closes
            return
        conn.sendall(out)
    except (OSError, ssl.SSLError):
        pass
    finally:
        try:
            conn.close()
        except OSError:
            pass


def listen(address, port, tls_context):
    s = socket.socket(socket.AF_INET, socket.SOCK_STREAM)
    s.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
    s.bind((address, port))
    s.listen(16)

    def loop():
        while True:
            conn, _ = s.accept()
            threading.Thread(target=serve, args=(conn, tls_context), daemon=True).start()

    threading.Thread(target=loop, daemon=True).start()


def main():
    p = argparse.ArgumentParser()
    p.add_argument("--address", required=True)
    p.add_argument("--http-port", type=int, default=80)
    p.add_argument("--https-port", type=int, default=443)
    p.add_argument("--cert", required=True)
    p.add_argument("--key", required=True)
    a = p.parse_args()
    ctx = ssl.SSLContext(ssl.PROTOCOL_TLS_SERVER)
    ctx.load_cert_chain(a.cert, a.key)
    listen(a.address, a.http_port, None)
    listen(a.address, a.https_port, ctx)
    print("ready", flush=True)
    sys.stdin.read()  # the test holds the other end; EOF means stop
    os._exit(0)


if __name__ == "__main__":
    main()
