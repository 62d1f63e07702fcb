"""qmsrv: a DB-API 2.0 (PEP 249) driver for the qmsrv database command server.

Pure Python on the standard library. One connection is one TCP connection to qmsrv and one
database session on it (SQLite, PostgreSQL or Firebird).

    import qmsrv
    with qmsrv.connect("127.0.0.1", 979, "SQLite", "/tmp/demo.db") as conn:
        cur = conn.cursor()
        cur.execute("select :a + 1 as n", {"a": 41})
        print(cur.fetchone())    # (42,)
"""

from __future__ import annotations

import datetime
import decimal
import re
import socket
import ssl
import zlib
from typing import Any, Iterable, List, Mapping, Optional, Sequence, Tuple, Union

from . import wire
from .sqltext import translate_named
from .values import CONVERTERS, UnsupportedValue, bytes_of, param_header, split_rows

__all__ = [
    "apilevel", "threadsafety", "paramstyle", "connect", "Connection", "Cursor",
    "Warning", "Error", "InterfaceError", "DatabaseError", "DataError", "OperationalError",
    "IntegrityError", "InternalError", "ProgrammingError", "NotSupportedError",
    "Date", "Time", "Timestamp", "DateFromTicks", "TimeFromTicks", "TimestampFromTicks",
    "Binary", "STRING", "BINARY", "NUMBER", "DATETIME", "ROWID", "bytes_of",
]

apilevel = "2.0"
threadsafety = 1  # threads may share the module, not connections
paramstyle = "named"


# --- exceptions ----------------------------------------------------------------------------


class Warning(Exception):  # noqa: A001 - the name PEP 249 gives it
    pass


class Error(Exception):
    pass


class InterfaceError(Error):
    pass


class DatabaseError(Error):
    pass


class DataError(DatabaseError):
    pass


class OperationalError(DatabaseError):
    pass


class IntegrityError(DatabaseError):
    pass


class InternalError(DatabaseError):
    pass


class ProgrammingError(DatabaseError):
    pass


class NotSupportedError(DatabaseError):
    pass


# Server texts to exception classes, first match wins (the engines' own words).
_ERROR_KINDS: List[Tuple["re.Pattern[str]", type]] = [
    (re.compile(p, re.I), cls) for p, cls in [
        (r"constraint|duplicate key|violates|violation of", IntegrityError),
        (r"cannot be carried in a result block|invalid input syntax|out of range|overflow|"
         r"conversion error|value too long|string right truncation|division by zero",
         DataError),
        (r"syntax error|no such (table|column|function)|does not exist|token unknown|"
         r"table unknown|column unknown|more than one statement|multiple commands|"
         r"parameter name expected|incomplete input|unrecognized token|dynamic sql error",
         ProgrammingError),
        (r"#Handle Not Found|Invalid Server ID|Driver Create Connection|connection|"
         r"database is locked|Unable to complete network request|lock time-?out|deadlock|"
         r"could not connect|password authentication|Invalid Headers|Server busy",
         OperationalError),
        (r"Command Not Found|Transaction Handle Not Found|Invalid Command|Missing Name",
         InterfaceError),
    ]
]


def _server_error(text: str) -> Error:
    for pattern, cls in _ERROR_KINDS:
        if pattern.search(text):
            return cls(text)
    return DatabaseError(text)


# --- types ---------------------------------------------------------------------------------

Date = datetime.date
Time = datetime.time
Timestamp = datetime.datetime


def DateFromTicks(ticks: float) -> datetime.date:
    return datetime.date.fromtimestamp(ticks)


def TimeFromTicks(ticks: float) -> datetime.time:
    return datetime.datetime.fromtimestamp(ticks).time()


def TimestampFromTicks(ticks: float) -> datetime.datetime:
    return datetime.datetime.fromtimestamp(ticks)


def Binary(value: Union[bytes, bytearray, memoryview, str]) -> bytes:
    return value.encode("utf-8") if isinstance(value, str) else bytes(value)


class _TypeSet:
    def __init__(self, *codes: int):
        self._codes = frozenset(codes)

    def __eq__(self, other: object) -> bool:
        return other in self._codes

    def __hash__(self) -> int:
        return hash(self._codes)


STRING = _TypeSet(wire.DHT_STRING)
BINARY = _TypeSet(wire.DHT_BYTES)
NUMBER = _TypeSet(wire.DHT_INTEGER, wire.DHT_CARDINAL, wire.DHT_CURRENCY, wire.DHT_DOUBLE,
                  wire.DHT_BOOLEAN)
DATETIME = _TypeSet(wire.DHT_DATETIME)
ROWID = _TypeSet(wire.DHT_INTEGER)

# The Python type each column kind reads as, for a description's type_code users.
PYTHON_TYPES = {
    wire.DHT_STRING: str,
    wire.DHT_INTEGER: int,
    wire.DHT_CARDINAL: int,
    wire.DHT_BOOLEAN: bool,
    wire.DHT_CURRENCY: decimal.Decimal,
    wire.DHT_DOUBLE: float,
    wire.DHT_DATETIME: datetime.datetime,
    wire.DHT_BYTES: bytes,
}

_DRIVERS = ("SQLite", "PostgreSQL", "Firebird")
_MAX_BLOCK = 1 << 30


def connect(host: str = "127.0.0.1", port: int = 979, driver: str = "SQLite",
            database: str = "", user: str = "", password: str = "", *,
            tls: Union[bool, ssl.SSLContext] = False, tls_ca: Optional[str] = None,
            tls_verify: bool = True, server_password: str = "", db_port: Union[int, str] = "",
            app_name: str = "python", timeout: Optional[float] = 120.0,
            autocommit: bool = False) -> "Connection":
    """Opens a session on qmsrv at host:port.

    driver is "SQLite", "PostgreSQL" or "Firebird"; database is the SQLite or Firebird database
    file, or the PostgreSQL database name; user and password are the database's. tls=True
    speaks TLS and checks the server's certificate against the system's store or tls_ca (and
    the host name) unless tls_verify is False; an ssl.SSLContext is used as given.
    server_password is qmsrv's own Password setting. db_port is the database server's port.
    timeout is the seconds to wait for any reply (None: no limit).
    """
    if driver not in _DRIVERS:
        raise InterfaceError("driver must be one of %s, not %r" % (", ".join(_DRIVERS), driver))
    if any(c in server_password for c in ";'\"\r\n"):
        raise InterfaceError("a server password cannot contain ';', quotes or line breaks")
    return Connection(host, int(port), driver, database, user, password, tls=tls, tls_ca=tls_ca,
                      tls_verify=tls_verify, server_password=server_password,
                      db_port=str(db_port), app_name=app_name, timeout=timeout,
                      autocommit=autocommit)


class Connection:
    """One session on qmsrv. Not to be shared between threads without a lock."""

    Warning = Warning
    Error = Error
    InterfaceError = InterfaceError
    DatabaseError = DatabaseError
    DataError = DataError
    OperationalError = OperationalError
    IntegrityError = IntegrityError
    InternalError = InternalError
    ProgrammingError = ProgrammingError
    NotSupportedError = NotSupportedError

    def __init__(self, host: str, port: int, driver: str, database: str, user: str,
                 password: str, *, tls: Union[bool, ssl.SSLContext], tls_ca: Optional[str],
                 tls_verify: bool, server_password: str, db_port: str, app_name: str,
                 timeout: Optional[float], autocommit: bool):
        self.driver = driver
        self._channel: Optional[wire.Channel] = None
        self._handle = 0
        self._server_id = ""
        self._transaction = 0  # the opened transaction, 0 while none is open
        self._autocommit = autocommit
        try:
            sock = socket.create_connection((host, port), timeout=timeout)
        except OSError as e:
            raise OperationalError("cannot reach qmsrv at %s:%d: %s" % (host, port, e)) from e
        try:
            if tls:
                context = tls if isinstance(tls, ssl.SSLContext) else self._tls_context(
                    tls_ca, tls_verify)
                sock = context.wrap_socket(sock, server_hostname=host)
            sock.settimeout(timeout)
        except (OSError, ssl.SSLError) as e:
            sock.close()
            raise OperationalError("TLS with qmsrv at %s:%d failed: %s" % (host, port, e)) from e
        self._channel = wire.Channel(sock, server_password)
        try:
            reply = self._call("Connect", [
                ("Driver", driver), ("Resource", database), ("UserName", user),
                ("Password", password), ("Port", db_port), ("AppName", app_name)], session=False)
            self._handle = int(reply.get("Database", "Handle") or 0)
            self._server_id = reply.get("Database", "ServerID")
        except BaseException:
            self._lost()
            raise

    @staticmethod
    def _tls_context(ca: Optional[str], verify: bool) -> ssl.SSLContext:
        context = ssl.create_default_context(cafile=ca)
        context.minimum_version = ssl.TLSVersion.TLSv1_2
        if not verify:
            context.check_hostname = False
            context.verify_mode = ssl.CERT_NONE
        return context

    # --- requests --------------------------------------------------------------------------

    def _call(self, name: str, values: Iterable[Tuple[str, Any]] = (), *,
              params: Iterable[wire.Header] = (), block: bytes = b"",
              session: bool = True) -> wire.Message:
        if self._channel is None:
            raise InterfaceError("the connection is closed")
        message = wire.Message(name)
        if session:
            message.add("Database", "ServerID", self._server_id)
            message.add("Database", "Handle", str(self._handle), wire.DHT_INTEGER)
        for key, value in values:
            if isinstance(value, int):
                message.add("Database", key, str(value), wire.DHT_INTEGER)
            else:
                message.add("Database", key, value)
        message.headers.extend(params)
        message.block = block
        try:
            reply = self._channel.call(message)
        except wire.ConnectionLost as e:
            self._lost()
            raise OperationalError("the connection to qmsrv is gone: %s" % e) from e
        except wire.ProtocolError as e:
            self._lost()
            raise _server_error(str(e)) if str(e) else OperationalError("bad reply") from e
        error = reply.get("System", "Error")
        if error or reply.name.lower() != "ok":
            if name == "ExecScript" and not error and reply.name == "":
                return reply  # an empty script: nothing ran
            raise _server_error(error or "qmsrv answered %r" % reply.name)
        return reply

    def _lost(self) -> None:
        if self._channel is not None:
            self._channel.close()
            self._channel = None

    def _transaction_handle(self) -> int:
        """The transaction statements run in: 0, the default one, in autocommit; otherwise an
        opened one, opened at the first statement after a commit or rollback."""
        if self._autocommit:
            return 0
        if not self._transaction:
            reply = self._call("OpenTransaction")
            self._transaction = int(reply.get("Database", "TRHandle") or 0)
        return self._transaction

    def _end(self, action: str) -> None:
        if self._channel is None:
            raise InterfaceError("the connection is closed")
        if self._transaction:
            handle, self._transaction = self._transaction, 0
            self._call("CloseTransaction", [("TRHandle", handle), ("TRAction", action)])

    # --- DB-API ----------------------------------------------------------------------------

    @property
    def autocommit(self) -> bool:
        return self._autocommit

    @autocommit.setter
    def autocommit(self, value: bool) -> None:
        """Turning autocommit on commits the open transaction first."""
        value = bool(value)
        if value and not self._autocommit:
            self._end("commit")
        self._autocommit = value

    @property
    def closed(self) -> bool:
        return self._channel is None

    @property
    def server_id(self) -> str:
        return self._server_id

    @property
    def handle(self) -> int:
        return self._handle

    def commit(self) -> None:
        self._end("commit")

    def rollback(self) -> None:
        self._end("rollback")

    def close(self) -> None:
        """Ends the session on the server (an open transaction is rolled back) and the TCP
        connection. Closing twice is harmless."""
        if self._channel is None:
            return
        try:
            self._call("Disconnect")
        except (OperationalError, InterfaceError):
            pass
        finally:
            self._lost()

    def cursor(self) -> "Cursor":
        if self._channel is None:
            raise InterfaceError("the connection is closed")
        return Cursor(self)

    def execute_script(self, script: str) -> None:
        """Runs statements separated by "^" in one request."""
        self._call("ExecScript", [("TRHandle", self._transaction_handle()), ("ScriptName", "")],
                   block=zlib.compress(script.encode("utf-16-le")))

    def status(self) -> str:
        """The server's sessions as its JSON text."""
        return self._call("Status", session=False).block.decode("utf-16-le")

    def __enter__(self) -> "Connection":
        return self

    def __exit__(self, kind, value, traceback) -> None:
        try:
            if self._channel is not None and self._transaction:
                self.commit() if kind is None else self.rollback()
        finally:
            self.close()


Row = Tuple[Any, ...]


class Cursor:
    arraysize = 1

    def __init__(self, connection: Connection):
        self.connection = connection
        self.description: Optional[List[Tuple[Any, ...]]] = None
        self.rowcount = -1
        self.notices: List[Tuple[str, str]] = []
        self._rows: List[Row] = []
        self._next = 0
        self._closed = False

    def _connection(self) -> Connection:
        if self._closed:
            raise InterfaceError("the cursor is closed")
        if self.connection.closed:
            raise InterfaceError("the connection is closed")
        return self.connection

    def execute(self, operation: str, parameters: Optional[Mapping[str, Any]] = None) -> "Cursor":
        conn = self._connection()
        self.description, self.rowcount, self._rows, self._next = None, -1, [], 0
        sql, names = translate_named(operation)
        params = self._params(names, parameters)
        reply = conn._call("ExecuteSQL", [("TRHandle", conn._transaction_handle()), ("SQL", sql)],
                           params=params)
        self._read(reply)
        return self

    def executemany(self, operation: str,
                    seq_of_parameters: Iterable[Mapping[str, Any]]) -> "Cursor":
        """Prepares once and runs the statement for each set of parameters."""
        conn = self._connection()
        sql, names = translate_named(operation)
        reply = conn._call("PrepareSQL", [("TRHandle", conn._transaction_handle()), ("SQL", sql)])
        command = int(reply.get("Database", "CmdHandle") or 0)
        try:
            for parameters in seq_of_parameters:
                conn._call("ExecPrepared", [("CmdHandle", command)],
                           params=self._params(names, parameters))
            self.description, self._rows, self._next, self.rowcount = None, [], 0, -1
        finally:
            if not conn.closed:
                conn._call("UnPrepareSQL", [("CmdHandle", command)])
        return self

    def _params(self, names: Sequence[str], parameters: Optional[Mapping[str, Any]]):
        if parameters is None:
            parameters = {}
        if not isinstance(parameters, Mapping):
            raise ProgrammingError("parameters are named (:name): pass a mapping")
        headers = []
        seen = set()
        for name in names:
            key = name.lower()
            if key in seen:
                continue
            seen.add(key)
            if name not in parameters:
                raise ProgrammingError("no value for parameter :%s" % name)
            try:
                text, kind = param_header(parameters[name], self.connection.driver)
            except UnsupportedValue as e:
                raise DataError("parameter :%s: %s" % (name, e)) from e
            headers.append(wire.Header("Params", name, text, kind))
        return headers

    def _read(self, reply: wire.Message) -> None:
        self.notices = [(h.name, h.text) for h in reply.section("Notices")]
        fields = reply.section("Fields")
        if fields:
            self.description = [(f.name, f.type, None, None, None, None, None) for f in fields]
        block = reply.block
        if block and reply.get("System", "BufferCompressed").lower().startswith("t"):
            inflater = zlib.decompressobj()
            block = inflater.decompress(block, _MAX_BLOCK)
            if inflater.unconsumed_tail:
                raise DataError("result block is larger than 1 GiB")
        try:
            rows = split_rows(block, len(fields))
        except (ValueError, UnicodeError) as e:
            raise InterfaceError("result block cannot be read: %s" % e) from e
        converters = [CONVERTERS.get(f.type) for f in fields]
        self._rows = [tuple(v if v is None or c is None else c(v)
                            for v, c in zip(row, converters)) for row in rows]
        self.rowcount = len(self._rows) if fields else -1

    def _fetch(self, count: int) -> List[Row]:
        self._connection()
        if self.description is None:
            raise ProgrammingError("the last statement gave no result set")
        rows = self._rows[self._next:self._next + count]
        self._next += len(rows)
        return rows

    def fetchone(self) -> Optional[Row]:
        rows = self._fetch(1)
        return rows[0] if rows else None

    def fetchmany(self, size: Optional[int] = None) -> List[Row]:
        return self._fetch(self.arraysize if size is None else size)

    def fetchall(self) -> List[Row]:
        return self._fetch(len(self._rows))

    def __iter__(self):
        return self

    def __next__(self) -> Row:
        row = self.fetchone()
        if row is None:
            raise StopIteration
        return row

    def close(self) -> None:
        self._closed = True
        self._rows = []

    def setinputsizes(self, sizes: Any) -> None:
        pass

    def setoutputsize(self, size: int, column: Optional[int] = None) -> None:
        pass

    def __enter__(self) -> "Cursor":
        return self

    def __exit__(self, *exc: Any) -> None:
        self.close()
