"""A real qmsrv for the tests (qmsrv_process.Server), started once and stopped at the end.

PostgreSQL and Firebird come from the test servers' environment (scripts/test-servers.sh):
QM_TEST_PG_* and QM_TEST_FB_*. A test of an engine whose server is not configured or cannot be
reached fails; it is never skipped.
"""

from __future__ import annotations

import os
import subprocess
import uuid

import pytest

import qmsrv
from qmsrv_process import Server


@pytest.fixture(scope="session")
def server(tmp_path_factory):
    s = Server(tmp_path_factory.mktemp("qmsrv"))
    yield s
    s.stop()


def _env(name: str) -> str:
    value = os.environ.get(name)
    if not value:
        pytest.fail("%s is not set: start the test servers (scripts/test-servers.sh)" % name)
    return value


def _fb_config() -> str:
    return "FBHost=%s\n" % os.environ.get("QM_TEST_FB_HOST", "127.0.0.1")


@pytest.fixture(scope="session")
def engine_server(tmp_path_factory):
    config = "PGHost=%s\n" % os.environ.get("QM_TEST_PG_HOST", "127.0.0.1") + _fb_config()
    s = Server(tmp_path_factory.mktemp("qmsrv-engines"), config)
    yield s
    s.stop()


@pytest.fixture(params=["SQLite", "PostgreSQL", "Firebird"])
def engine(request):
    return request.param


_firebird_database = {}


def _firebird(tmp_path_factory) -> str:
    """One Firebird database for the run, created with the server's isql over TCP."""
    if "path" not in _firebird_database:
        data = _env("QM_TEST_FB_DATA")
        path = "%s/py-%s.fdb" % (data, uuid.uuid4().hex)
        script = tmp_path_factory.mktemp("fb") / "create.sql"
        script.write_text("create database '%s/%s:%s' user '%s' password '%s';\n" % (
            os.environ.get("QM_TEST_FB_HOST", "127.0.0.1"), _env("QM_TEST_FB_PORT"), path,
            _env("QM_TEST_FB_USER"), _env("QM_TEST_FB_PASSWORD")))
        done = subprocess.run(["isql-fb", "-q", "-i", str(script)], capture_output=True,
                              text=True, timeout=60)
        if done.returncode != 0:
            pytest.fail("cannot create a Firebird database: %s" % done.stdout + done.stderr)
        _firebird_database["path"] = path
    return _firebird_database["path"]


@pytest.fixture
def connect(engine, engine_server, tmp_path_factory):
    """Opens connections to the engine's test database; closes them at the end."""
    if engine == "SQLite":
        args = dict(driver="SQLite", database="py-%s.db" % uuid.uuid4().hex)
    elif engine == "PostgreSQL":
        args = dict(driver="PostgreSQL", database=_env("QM_TEST_PG_DATABASE"),
                    user=_env("QM_TEST_PG_USER"), password=_env("QM_TEST_PG_PASSWORD"),
                    db_port=_env("QM_TEST_PG_PORT"))
    else:
        args = dict(driver="Firebird", database=_firebird(tmp_path_factory),
                    user=_env("QM_TEST_FB_USER"), password=_env("QM_TEST_FB_PASSWORD"),
                    db_port=_env("QM_TEST_FB_PORT"))
    opened = []

    def make(**extra):
        conn = qmsrv.connect("127.0.0.1", engine_server.port, **dict(args, **extra))
        opened.append(conn)
        return conn

    yield make
    for conn in opened:
        conn.close()


@pytest.fixture
def table():
    """A table name no other test uses."""
    return "py_" + uuid.uuid4().hex[:12]
