#!/usr/bin/env python3
"""Hostile requests against a running qmsrv, with what each costs the server.

    bench/request_faults.py <qmsrv binary> [--params 40000,80000]

Starts the given qmsrv on a free loopback port (its own configuration and log folder), then
sends, one at a time:
  - a binary request of about 100 KB whose header text holds over a million empty items,
  - a JSON request of about 10 MB of empty items,
  - "ExecuteSQL" on SQLite with many parameters that the statement does not use,
  - a request whose raw block announces more bytes than are sent, then silence,
and prints, for each, the reply (or what happened), the wall time, the server's CPU time and
the growth of the server's peak resident memory (VmHWM). Not part of the test suite; run it against two builds to
compare them.
"""

import argparse
import base64
import os
import socket
import subprocess
import sys
import tempfile
import time
import zlib


def free_port():
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


def peak_kb(pid):
    with open(f"/proc/{pid}/status") as f:
        for line in f:
            if line.startswith("VmHWM:"):
                return int(line.split()[1])
    return 0


def cpu_seconds(pid):
    with open(f"/proc/{pid}/stat") as f:
        fields = f.read().rsplit(")", 1)[1].split()
    return (int(fields[11]) + int(fields[12])) / os.sysconf("SC_CLK_TCK")


def size_field(n):
    return str(n).ljust(10).encode()


def recv_exact(sock, n):
    data = b""
    while len(data) < n:
        chunk = sock.recv(min(n - len(data), 1 << 20))
        if not chunk:
            raise ConnectionError("closed after %d of %d bytes" % (len(data), n))
        data += chunk
    return data


def vsk_text(name, headers, empty_items=0):
    lines = ["TStreamData {", "  Name = '%s';" % name, "  Objects = {"]
    for guid, key, value in headers:
        data = base64.b64encode(value.encode("utf-16-le")).decode()
        lines += ["    TStreamDataHeader {", "      Guid = '%s';" % guid,
                  "      Name = '%s';" % key, "      Data = '%s';" % data,
                  "      DataSize = 0;", "      DataType = dhtString;", "    }"]
    text = "\n".join(lines) + "\n" + "    TStreamDataHeader {\n    }\n" * empty_items
    return (text + "  }\n}\n").encode("utf-16-le")


def read_reply(sock):
    body = zlib.decompress(recv_exact(sock, int(recv_exact(sock, 10).strip())))
    raw_size = int(recv_exact(sock, 10).strip() or b"0")
    recv_exact(sock, raw_size)
    text = body.decode("utf-16-le")
    name = text.split("Name = '", 1)[1].split("'", 1)[0] if "Name = '" in text else ""
    error = ""
    marker = "Guid = 'System';\n      Name = 'Error';"
    if marker in text:
        data = text.split(marker, 1)[1].split("Data = '", 1)[1].split("'", 1)[0]
        error = base64.b64decode(data).decode("utf-16-le")
    return name, error, text


def binary_request(sock, text, raw=b"", announced=None):
    body = zlib.compress(text)
    sock.sendall(b"Protocol=VSK;Command=Data;Password=;\r" + size_field(len(body)) + body +
                 size_field(len(raw) if announced is None else announced) + raw)
    return len(body)


class Server:
    def __init__(self, binary):
        self.folder = tempfile.mkdtemp(prefix="qm-faults-")
        self.port = free_port()
        config = os.path.join(self.folder, "qmsrv.conf")
        with open(config, "w") as f:
            f.write("Port=%d\n" % self.port)
        env = dict(os.environ, HOME=self.folder, XDG_DATA_HOME=self.folder)
        self.process = subprocess.Popen([binary, "--config", config, "--user-log"], env=env,
                                        stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        for _ in range(200):
            try:
                socket.create_connection(("127.0.0.1", self.port), timeout=1).close()
                break
            except OSError:
                time.sleep(0.05)

    def connect(self, timeout=300):
        sock = socket.create_connection(("127.0.0.1", self.port))
        sock.settimeout(timeout)
        return sock

    def identity(self):
        with self.connect() as sock:
            sock.sendall(b"Command=V\r")
            return recv_exact(sock, 15).decode()

    def stop(self):
        self.process.terminate()
        self.process.wait(timeout=60)


def measure(server, label, action):
    before = peak_kb(server.process.pid)
    cpu = cpu_seconds(server.process.pid)
    start = time.monotonic()
    try:
        outcome = action()
    except Exception as e:  # the server closing or timing out is an outcome too
        outcome = "%s: %s" % (type(e).__name__, e)
    elapsed = time.monotonic() - start
    grown = peak_kb(server.process.pid) - before
    cpu = cpu_seconds(server.process.pid) - cpu
    print("%-40s %7.1f s wall %7.1f s server CPU  peak +%7.1f MB  %s" %
          (label, elapsed, cpu, grown / 1024, outcome[:90]))
    sys.stdout.flush()


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("binary")
    parser.add_argument("--params", default="40000,80000")
    parser.add_argument("--items", type=int, default=1100000)
    parser.add_argument("--json-items", type=int, default=3000000)
    args = parser.parse_args()

    server = Server(args.binary)
    try:
        def many_items():
            with server.connect() as sock:
                sent = binary_request(sock, vsk_text("ExecuteSQL", [], args.items))
                name, error, _ = read_reply(sock)
                return "sent %d KB; reply %s %s" % (sent // 1024, name, error)
        measure(server, "binary: %d empty items" % args.items, many_items)

        def json_items():
            items = ",".join(["{}"] * args.json_items)
            text = ('{"Items":[%s]}' % items).encode()
            with server.connect() as sock:
                sock.sendall(b"Protocol=JSON;Command=Data;Password=;\r" + size_field(len(text)) +
                             text)
                size = int(recv_exact(sock, 10).strip())
                return "sent %d KB; reply %s" % (len(text) // 1024, recv_exact(sock, size)[-80:])
        if args.json_items > 0:
            measure(server, "JSON: %d empty items" % args.json_items, json_items)

        server_id = server.identity()
        with server.connect() as sock:
            database = os.path.join(server.folder, "faults.db")
            binary_request(sock, vsk_text("Connect", [("Database", "Driver", "SQLite"),
                                                      ("Database", "Resource", database)]))
            _, error, text = read_reply(sock)
            handle_data = text.split("Name = 'Handle';", 1)[1].split("Data = '", 1)[1]
            handle = base64.b64decode(handle_data.split("'", 1)[0]).decode("utf-16-le")

        for count in [int(n) for n in args.params.split(",") if n]:
            def unused_params(count=count):
                headers = [("Database", "ServerID", server_id), ("Database", "Handle", handle),
                           ("Database", "SQL", "select 1")]
                headers += [("Params", "p%d" % i, str(i)) for i in range(count)]
                with server.connect() as sock:
                    binary_request(sock, vsk_text("ExecuteSQL", headers))
                    name, error, text = read_reply(sock)
                    return "reply %s %s, %d notices" % (name, error, text.count("'Notices'"))
            measure(server, "ExecuteSQL with %d unused parameters" % count, unused_params)

        def truncated():
            with server.connect(timeout=30) as sock:
                binary_request(sock, vsk_text("ExecuteSQL", [
                    ("Database", "ServerID", server_id), ("Database", "Handle", handle),
                    ("Database", "SQL", "select 1")]), raw=b"0123456789", announced=100)
                data = sock.recv(100)
                return "connection closed without a reply" if not data else "got a reply"
        measure(server, "raw block cut short, then silence", truncated)
    finally:
        server.stop()


if __name__ == "__main__":
    main()
