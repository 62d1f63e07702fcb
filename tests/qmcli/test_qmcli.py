"""qmcli's modes through the real binaries: SQL from stdin and from -f files, one JSON document
for several statements, binary values as hex, exact numbers, --timing, --version, the
interactive mode on a pseudo-terminal, and Ctrl-C while a statement runs."""

from __future__ import annotations

import json
import os
import pathlib
import pty
import select
import signal
import subprocess
import sys
import time

import pytest

ROOT = pathlib.Path(__file__).resolve().parents[2]
sys.path.insert(0, str(ROOT / "clients" / "python" / "tests"))

from qmsrv_process import Server  # noqa: E402

QMCLI = os.environ.get("QMCLI", str(ROOT / "build" / "src" / "client" / "qmcli"))


@pytest.fixture(scope="module")
def server(tmp_path_factory):
    s = Server(tmp_path_factory.mktemp("qmcli"))
    yield s
    s.stop()


def qmcli(server, *args, stdin="", db="cli.db", timeout=60):
    return subprocess.run([QMCLI, "--port", str(server.port), "--driver", "SQLite",
                           "--resource", db, *args], input=stdin, capture_output=True,
                          text=True, timeout=timeout)


def sessions(server):
    done = subprocess.run([QMCLI, "--port", str(server.port), "--status", "--format", "json"],
                          capture_output=True, text=True, timeout=30)
    assert done.returncode == 0, done.stderr
    return json.loads(done.stdout)["items"]


def test_stdin_and_files_are_split_at_semicolons_outside_literals_and_comments(server, tmp_path):
    script = ("create table if not exists s (t text);\n"
              "insert into s values ('a;b'); -- a comment; with a semicolon\n"
              "/* block; comment */ insert into s values ('c');\n"
              "select t from s order by t")
    done = qmcli(server, "--format", "csv", stdin=script, db="split.db")
    assert done.returncode == 0, done.stderr
    assert done.stdout.splitlines() == ["t", "a;b", "c"]

    sql = tmp_path / "more.sql"
    sql.write_text("insert into s values ('d');\nselect count(*) as n from s;\n")
    done = qmcli(server, "-f", str(sql), "--format", "csv", db="split.db")
    assert done.returncode == 0, done.stderr
    assert done.stdout.splitlines() == ["n", "3"]
    # A failing statement stops the run with exit code 1; what came before it ran.
    done = qmcli(server, stdin="insert into s values ('e'); selec 1; insert into s values ('f')",
                 db="split.db")
    assert done.returncode == 1 and "Error:" in done.stderr
    assert qmcli(server, "-e", "select count(*) from s", "--format", "csv",
                 db="split.db").stdout.splitlines()[1] == "4"


def test_json_is_one_document_and_jsonl_one_object_per_row(server):
    sql = "select 1 as a union all select 2; create table if not exists j (x); select 'x' as b"
    done = qmcli(server, "--format", "json", stdin=sql, db="json.db")
    assert done.returncode == 0, done.stderr
    assert json.loads(done.stdout) == [[{"a": 1}, {"a": 2}], None, [{"b": "x"}]]
    done = qmcli(server, "--format", "jsonl", stdin="select 1 as a union all select 2")
    assert [json.loads(line) for line in done.stdout.splitlines()] == [{"a": 1}, {"a": 2}]


@pytest.mark.parametrize("fmt, expected", [
    ("csv", "b\n\\x00ff41\n"),
    ("json", '[{"b":"\\\\x00ff41"}]\n'),
    ("table", "| \\x00ff41 |"),
])
def test_binary_values_are_hex_in_every_format(server, fmt, expected):
    done = qmcli(server, "--format", fmt, "-e", "select x'00ff41' as b")
    assert done.returncode == 0, done.stderr
    assert "\0" not in done.stdout
    assert expected in done.stdout.replace("\r\n", "\n")


def test_timing_goes_to_stderr_and_version_answers(server):
    done = qmcli(server, "--timing", "--format", "json", "-e", "select 1 as a")
    assert json.loads(done.stdout) == [{"a": 1}]
    assert done.stderr.startswith("Time: ") and done.stderr.rstrip().endswith(" ms")
    version = subprocess.run([QMCLI, "--version"], capture_output=True, text=True, timeout=30)
    assert version.returncode == 0 and version.stdout.startswith("qmcli ")


def read_until(fd, text, timeout=20):
    seen = b""
    deadline = time.monotonic() + timeout
    while text.encode() not in seen:
        left = deadline - time.monotonic()
        assert left > 0, "no %r in %r" % (text, seen)
        ready, _, _ = select.select([fd], [], [], left)
        if ready:
            try:
                chunk = os.read(fd, 4096)
            except OSError:
                chunk = b""
            if not chunk:
                break
            seen += chunk
    assert text.encode() in seen, "no %r in %r" % (text, seen)
    return seen.decode(errors="replace")


def spawn_on_terminal(server, tmp_path, *args):
    pid, fd = pty.fork()
    if pid == 0:
        os.environ["HOME"] = str(tmp_path)
        os.execv(QMCLI, [QMCLI, "--port", str(server.port), "--driver", "SQLite",
                         "--resource", "tty.db", *args])
    return pid, fd


def wait_exit(pid, timeout=30):
    deadline = time.monotonic() + timeout
    while time.monotonic() < deadline:
        done, status = os.waitpid(pid, os.WNOHANG)
        if done:
            return os.waitstatus_to_exitcode(status)
        time.sleep(0.05)
    os.kill(pid, signal.SIGKILL)
    pytest.fail("qmcli did not end")


def test_interactive_mode_reads_statements_until_semicolon(server, tmp_path):
    pid, fd = spawn_on_terminal(server, tmp_path)
    read_until(fd, "qmcli=> ")
    os.write(fd, b"select 6 *\r")
    read_until(fd, "qmcli-> ")
    os.write(fd, b"7 as answer;\r")
    assert "42" in read_until(fd, "qmcli=> ")
    os.write(fd, b"selec 1;\r")  # an error is reported and the session goes on
    assert "Error:" in read_until(fd, "qmcli=> ")
    os.write(fd, b"\\format csv\r")
    read_until(fd, "qmcli=> ")
    os.write(fd, b"\\timing\r")
    read_until(fd, "Timing is on")
    os.write(fd, b"select 'x' as s;\r")
    out = read_until(fd, "Time: ").replace("\r", "")
    assert "s\nx\n" in out
    os.write(fd, b"\\q\r")
    assert wait_exit(pid) == 0
    os.close(fd)
    # libedit's history file writes blanks as \040.
    assert "select\\040'x'\\040as\\040s;" in (tmp_path / ".qmcli_history").read_text()
    assert not [s for s in sessions(server) if s.get("Resource") == "tty.db"]


def test_ctrl_c_while_a_statement_runs_ends_the_session(server, tmp_path):
    endless = ("with recursive n(i) as (select 1 union all select i + 1 from n) "
               "select count(*) from n")
    process = subprocess.Popen([QMCLI, "--port", str(server.port), "--driver", "SQLite",
                                "--resource", "cancel.db", "-e", endless],
                               stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True)
    def mine():
        return [s for s in sessions(server) if s.get("Resource") == "cancel.db"]

    deadline = time.monotonic() + 20
    while not mine():
        assert time.monotonic() < deadline, "no session appeared"
        time.sleep(0.05)
    time.sleep(0.3)  # the statement is under way
    process.send_signal(signal.SIGINT)
    _, err = process.communicate(timeout=30)
    assert process.returncode == 130
    assert "ending the session" in err
    # The server cancelled the statement and freed the session.
    deadline = time.monotonic() + 20
    while mine():
        assert time.monotonic() < deadline, "the session stayed"
        time.sleep(0.05)
