"""What does not depend on the engine: TLS, the server password, a server that goes away, and the
SQL text translation."""

from __future__ import annotations

import subprocess

import pytest

import qmsrv
from qmsrv.sqltext import translate_named

from qmsrv_process import Server


@pytest.mark.parametrize("sql, out, names", [
    ("select :a, :b_2", "select ?a, ?b_2", ["a", "b_2"]),
    ("select ':a', \"x:y\", 'it''s :no'", "select ':a', \"x:y\", 'it''s :no'", []),
    ("select 1 -- :c\n, :d /* :e */", "select 1 -- :c\n, ?d /* :e */", ["d"]),
    ("select x::int, :1, a : b", "select x::int, :1, a : b", []),
])
def test_named_markers_outside_literals_and_comments(sql, out, names):
    assert translate_named(sql) == (out, names)


def test_sqlite_session_and_status(server):
    with qmsrv.connect("127.0.0.1", server.port, "SQLite", "status.db", autocommit=True) as conn:
        cur = conn.cursor()
        cur.execute("select sqlite_version()")
        assert cur.fetchone()[0].startswith("3.")
        assert '"Resource"' in conn.status()
    assert conn.closed


def test_unknown_driver_and_unreachable_server():
    with pytest.raises(qmsrv.InterfaceError):
        qmsrv.connect("127.0.0.1", 1, "sqlite", "x.db")
    with pytest.raises(qmsrv.OperationalError, match="cannot reach"):
        qmsrv.connect("127.0.0.1", 1, "SQLite", "x.db", timeout=5)


def test_a_server_that_goes_away_is_an_operational_error(tmp_path):
    s = Server(tmp_path)
    conn = qmsrv.connect("127.0.0.1", s.port, "SQLite", "gone.db", autocommit=True)
    s.stop()
    with pytest.raises(qmsrv.OperationalError, match="gone"):
        conn.cursor().execute("select 1")
    assert conn.closed


def test_server_password(tmp_path):
    s = Server(tmp_path, "Password=s3cret\n")
    try:
        with qmsrv.connect("127.0.0.1", s.port, "SQLite", "pw.db", server_password="s3cret") as c:
            c.cursor().execute("select 1")
        with pytest.raises(qmsrv.OperationalError, match="Invalid Headers"):
            qmsrv.connect("127.0.0.1", s.port, "SQLite", "pw.db", server_password="wrong")
    finally:
        s.stop()


def _openssl(*args):
    subprocess.run(["openssl", *args], check=True, capture_output=True)


def test_tls_verifies_the_certificate(tmp_path):
    ca, ca_key = tmp_path / "ca.pem", tmp_path / "ca.key"
    cert, key, csr, ext = (tmp_path / n for n in ("s.pem", "s.key", "s.csr", "s.ext"))
    _openssl("req", "-x509", "-newkey", "rsa:2048", "-nodes", "-days", "2", "-subj", "/CN=py CA",
             "-keyout", str(ca_key), "-out", str(ca), "-addext",
             "basicConstraints=critical,CA:TRUE", "-addext", "keyUsage=critical,keyCertSign")
    _openssl("req", "-newkey", "rsa:2048", "-nodes", "-subj", "/CN=localhost", "-keyout",
             str(key), "-out", str(csr))
    ext.write_text("subjectAltName=DNS:localhost,IP:127.0.0.1\nextendedKeyUsage=serverAuth\n")
    _openssl("x509", "-req", "-days", "2", "-in", str(csr), "-CA", str(ca), "-CAkey",
             str(ca_key), "-CAcreateserial", "-extfile", str(ext), "-out", str(cert))
    s = Server(tmp_path, "CertificateFile=%s\nPrivateKeyFile=%s\n" % (cert, key))
    try:
        with qmsrv.connect("127.0.0.1", s.port, "SQLite", "tls.db", tls=True, tls_ca=str(ca),
                           autocommit=True) as conn:
            cur = conn.cursor()
            cur.execute("select 'over tls'")
            assert cur.fetchone() == ("over tls",)
        with pytest.raises(qmsrv.OperationalError, match="TLS"):
            qmsrv.connect("127.0.0.1", s.port, "SQLite", "tls.db", tls=True)  # unknown CA
        with pytest.raises(qmsrv.OperationalError):
            qmsrv.connect("127.0.0.1", s.port, "SQLite", "tls.db", timeout=5)  # plain text
    finally:
        s.stop()
