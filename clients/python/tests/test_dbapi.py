"""The driver against a real qmsrv, on every engine."""

from __future__ import annotations

import datetime
import decimal
import socket
import threading
import time

import pytest

import qmsrv
from qmsrv import wire

# Column types as each engine spells them.
TYPES = {
    "SQLite": dict(int="integer", big="integer", float="double precision", num="numeric(18,4)",
                   text="varchar(40)", stamp="timestamp", blob="blob"),
    "PostgreSQL": dict(int="integer", big="bigint", float="double precision",
                       num="numeric(18,4)", text="varchar(40)", stamp="timestamp",
                       blob="bytea"),
    "Firebird": dict(int="integer", big="bigint", float="double precision", num="numeric(18,4)",
                     text="varchar(40)", stamp="timestamp", blob="blob sub_type 0"),
}


def make_table(conn, engine, table):
    t = TYPES[engine]
    cur = conn.cursor()
    cur.execute("create table %s (id %s, big %s, f %s, n %s, s %s, ts %s, b %s)" % (
        table, t["int"], t["big"], t["float"], t["num"], t["text"], t["stamp"], t["blob"]))
    conn.commit()
    return cur


def test_values_come_back_typed_and_nulls_stay_null(connect, engine, table):
    conn = connect()
    cur = make_table(conn, engine, table)
    stamp = datetime.datetime(2025, 1, 2, 3, 4, 5)
    # SQLite keeps numeric values as doubles: exact digits only on the other engines.
    exact = decimal.Decimal("1234.5" if engine == "SQLite" else "12345678901234.5678")
    # Firebird reads a binary blob as UTF-8 text: only UTF-8 content comes back byte for byte.
    blob = b"\x00\x01\xc3\xa9" if engine == "Firebird" else b"\x00\x01\xff"
    row = dict(id=1, big=9007199254740993, f=0.5, n=exact,
               s="it's ? :x -- not a comment", ts=stamp, b=blob)
    cur.execute("insert into %s values (:id, :big, :f, :n, :s, :ts, :b)" % table, row)
    cur.execute("insert into %s (id) values (:id)" % table, {"id": 2})
    conn.commit()

    cur.execute("select id, big, f, n, s, ts, b from %s order by id" % table)
    names = [d[0].lower() for d in cur.description]
    assert names == ["id", "big", "f", "n", "s", "ts", "b"]
    first, second = cur.fetchall()
    assert first[:5] == (1, 9007199254740993, 0.5, exact, row["s"])
    assert first[5] == stamp
    assert qmsrv.bytes_of(first[6], engine) == blob
    assert second == (2, None, None, None, None, None, None)
    if engine != "SQLite":  # SQLite's columns are typed by their values, not their declaration
        assert [d[1] for d in cur.description][:4] == [qmsrv.NUMBER] * 4
        assert cur.description[5][1] == qmsrv.DATETIME


def test_empty_text_is_not_null_and_fetch_forms_agree(connect, engine, table):
    conn = connect(autocommit=True)
    cur = make_table(conn, engine, table)
    # An empty text literal (SQLite binds an empty text parameter as null).
    cur.execute("insert into %s (id, s) values (0, '')" % table)
    for i, s in [(1, "a"), (2, None)]:
        cur.execute("insert into %s (id, s) values (:i, :s)" % table, {"i": i, "s": s})
    cur.execute("select s from %s order by id" % table)
    assert cur.rowcount == 3
    assert cur.fetchone() == ("",)
    assert cur.fetchmany(5) == [("a",), (None,)]
    assert cur.fetchone() is None
    cur.execute("select s from %s where id < 0" % table)
    assert cur.description is not None and cur.fetchall() == []


def test_parameters_repeat_and_missing_ones_are_refused(connect, engine, table):
    conn = connect(autocommit=True)
    cur = make_table(conn, engine, table)
    cur.execute("insert into %s (id, big) values (:v, :v)" % table, {"v": 7})
    cur.execute("select big from %s where id = :v" % table, {"v": 7})
    assert cur.fetchall() == [(7,)]
    with pytest.raises(qmsrv.ProgrammingError):
        cur.execute("select id from %s where id = :nope" % table, {})
    with pytest.raises(qmsrv.ProgrammingError):
        cur.execute("select id from %s where id = :v" % table, [7])
    with pytest.raises(qmsrv.DataError):
        cur.execute("insert into %s (s) values (:s)" % table, {"s": "NULL;"})


def test_executemany_runs_each_set(connect, engine, table):
    conn = connect()
    cur = make_table(conn, engine, table)
    cur.executemany("insert into %s (id, s) values (:id, :s)" % table,
                    [{"id": i, "s": "row %d" % i} for i in range(5)])
    conn.commit()
    cur.execute("select count(*), max(s) from %s" % table)
    assert cur.fetchone() == (5, "row 4")


def test_commit_and_rollback(connect, engine, table):
    conn = connect()
    cur = make_table(conn, engine, table)
    other = connect(autocommit=True).cursor()
    cur.execute("insert into %s (id) values (1)" % table)
    conn.rollback()
    cur.execute("insert into %s (id) values (2)" % table)
    conn.commit()
    other.execute("select id from %s" % table)
    assert other.fetchall() == [(2,)]
    cur.execute("insert into %s (id) values (3)" % table)
    conn.close()  # an open transaction is rolled back with the session
    other.execute("select count(*) from %s" % table)
    assert other.fetchone() == (1,)


def test_errors_map_to_the_hierarchy_and_the_session_goes_on(connect, engine, table):
    conn = connect(autocommit=True)
    cur = make_table(conn, engine, table)
    with pytest.raises(qmsrv.ProgrammingError):
        cur.execute("selec 1")
    with pytest.raises(qmsrv.ProgrammingError):
        cur.execute("select id from no_such_table_here")
    with pytest.raises(qmsrv.DatabaseError):
        cur.execute("insert into %s (id) values (1); insert into %s (id) values (2)"
                    % (table, table))
    cur.execute("insert into %s (id, s) values (1, :s)" % table, {"s": "a\ue001b"})
    with pytest.raises(qmsrv.DataError, match='cannot be carried.*row 1'):
        cur.execute("select s from %s" % table)
    cur.execute("select count(*) from %s" % table)
    assert cur.fetchone() == (1,)


def test_unique_violation_is_an_integrity_error(connect, engine, table):
    conn = connect(autocommit=True)
    cur = conn.cursor()
    cur.execute("create table %s (id integer not null primary key)" % table)
    cur.execute("insert into %s values (1)" % table)
    with pytest.raises(qmsrv.IntegrityError):
        cur.execute("insert into %s values (1)" % table)


def test_close_disconnects_and_later_use_is_an_interface_error(connect, engine):
    conn = connect()
    cur = conn.cursor()
    handle = conn.handle
    conn.close()
    conn.close()
    with pytest.raises(qmsrv.InterfaceError):
        cur.execute("select 1")
    watcher = connect(autocommit=True)
    assert '"Handle":%d,' % handle not in watcher.status()


# A client that gives up on a statement ends its session from another connection: the server
# cancels the statement and rolls the session's transaction back, so its locks go with it.
@pytest.mark.parametrize("engine", ["SQLite", "PostgreSQL"])
def test_disconnect_from_elsewhere_cancels_the_running_statement(connect, engine, table):
    conn = connect()
    cur = conn.cursor()
    cur.execute("create table %s (id integer)" % table)
    conn.commit()
    if engine == "PostgreSQL":
        cur.execute("lock table %s in access exclusive mode" % table)
        endless = "select pg_sleep(600)"
    else:
        cur.execute("insert into %s values (1)" % table)  # holds the database's write lock
        endless = ("with recursive n(i) as (select 1 union all select i + 1 from n) "
                   "select count(*) from n")
    failure = []

    def run():
        try:
            cur.execute(endless)
        except qmsrv.Error as e:
            failure.append(e)

    worker = threading.Thread(target=run)
    worker.start()
    time.sleep(0.5)  # only so that the statement is under way
    raw = socket.create_connection(("127.0.0.1", conn._channel._sock.getpeername()[1]), 30)
    bye = wire.Message("Disconnect")
    bye.add("Database", "ServerID", conn.server_id)
    bye.add("Database", "Handle", str(conn.handle), wire.DHT_INTEGER)
    assert wire.Channel(raw).call(bye).name == "OK"
    raw.close()
    worker.join(60)
    assert not worker.is_alive()
    assert failure and isinstance(failure[0], qmsrv.DatabaseError)
    other = connect(autocommit=True).cursor()
    other.execute("insert into %s values (2)" % table)
    other.execute("select id from %s" % table)
    assert other.fetchall() == [(2,)]
