"""The qmsrv wire protocol: header lines, binary messages and their VSK header text.

See docs/protocol.md in the qmsrv source tree. Nothing here knows about databases: a message is
a name, a list of headers (section, name, type, text) and a raw byte block.
"""

from __future__ import annotations

import base64
import socket
import zlib
from dataclasses import dataclass, field
from typing import List, Optional

# Header types, by their number in the protocol.
DHT_STRING = 0
DHT_INTEGER = 1
DHT_CARDINAL = 2
DHT_BOOLEAN = 3
DHT_CURRENCY = 4
DHT_DOUBLE = 5
DHT_DATETIME = 6
DHT_BYTES = 7

DHT_NAMES = [
    "dhtString",
    "dhtInteger",
    "dhtCardinal",
    "dhtBoolean",
    "dhtCurrency",
    "dhtDouble",
    "dhtDateTime",
    "dhtBytes",
]
_DHT_BY_NAME = {name.lower(): number for number, name in enumerate(DHT_NAMES)}

SIZE_FIELD = 10


class ProtocolError(Exception):
    """The peer sent bytes that are not a message, or a short reply such as "Invalid Headers"."""


class ConnectionLost(Exception):
    """The connection closed or went quiet before a whole reply came."""


@dataclass
class Header:
    guid: str
    name: str
    text: str = ""
    type: int = DHT_STRING


@dataclass
class Message:
    name: str = ""
    headers: List[Header] = field(default_factory=list)
    block: bytes = b""

    def add(self, guid: str, name: str, text: str, type: int = DHT_STRING) -> None:
        """Sets (guid, name), replacing an earlier header of the same section and name."""
        found = self.find(guid, name)
        if found is not None:
            found.text, found.type = text, type
        else:
            self.headers.append(Header(guid, name, text, type))

    def find(self, guid: str, name: str) -> Optional[Header]:
        guid, name = guid.lower(), name.lower()
        for header in self.headers:
            if header.guid.lower() == guid and header.name.lower() == name:
                return header
        return None

    def get(self, guid: str, name: str, default: str = "") -> str:
        header = self.find(guid, name)
        return default if header is None else header.text

    def section(self, guid: str) -> List[Header]:
        guid = guid.lower()
        return [h for h in self.headers if h.guid.lower() == guid]


# --- VSK text ---------------------------------------------------------------------------------

# In the order a writer tries them at each position.
_ENCODE = [("&", "&and&"), ("'", "&apos&"), ("\r\n", "&weof&"), ("\n", "&ueof&"),
           ("\r", "&meol&"), ("\0", "&null&")]
_DECODE = [("&and&", "&"), ("&apos&", "'"), ("&weof&", "\r\n"), ("&ueof&", "\n"),
           ("&eol&", "\n"), ("&meol&", "\r"), ("&null&", "\0"), ("&obkt&", "{"),
           ("&cbkt&", "}"), ("&scln&", ";")]


def _render(text: str, table) -> str:
    out = []
    i = 0
    while i < len(text):
        for source, target in table:
            if text.startswith(source, i):
                out.append(target)
                i += len(source)
                break
        else:
            out.append(text[i])
            i += 1
    return "".join(out)


def vsk_escape(text: str) -> str:
    return _render(text, _ENCODE)


def vsk_unescape(text: str) -> str:
    return _render(text, _DECODE) if "&" in text else text


def _b64_of_text(text: str) -> str:
    return base64.b64encode(text.encode("utf-16-le")).decode("ascii")


def _text_of_b64(data: str) -> str:
    try:
        return base64.b64decode(data.encode("ascii"), validate=False).decode("utf-16-le")
    except (ValueError, UnicodeError):
        return ""


def vsk_text(message: Message) -> str:
    """The message's VSK text, as the server's own writer lays it out."""
    lines = ["TStreamDataWriter {"]
    if message.name:
        lines.append("  Name = '%s';" % vsk_escape(message.name))
    if message.headers:
        lines.append("  Objects = {")
        for h in message.headers:
            lines.append("    TStreamDataHeader {")
            if h.guid:
                lines.append("      Guid = '%s';" % vsk_escape(h.guid))
            if h.name:
                lines.append("      Name = '%s';" % vsk_escape(h.name))
            if h.text:
                lines.append("      Data = '%s';" % _b64_of_text(h.text))
            lines.append("      DataSize = 0;")
            lines.append("      DataType = %s;" % DHT_NAMES[h.type])
            lines.append("    }")
        lines.append("  }")
    lines.append("}")
    return "\n".join(lines) + "\n"


_PROPERTY, _OBJECT, _END = 0, 1, 2


def _statements(text: str):
    """(kind, name, value) of each statement of VSK text."""
    i, n = 0, len(text)
    while True:
        while i < n and text[i] in "\t\n\r ":
            i += 1
        if i >= n:
            return
        start, quoted = i, False
        while i < n:
            c = text[i]
            if c == "'":
                quoted = not quoted
            elif not quoted and c in ";{}":
                break
            i += 1
        if i >= n:
            return  # a statement cut short is dropped
        body, stop = text[start:i], text[i]
        i += 1
        while i < n and text[i] in ";{}":
            i += 1
        if "=" in body:
            name, value = body.split("=", 1)
            yield _PROPERTY, name.strip(), value.strip()
        elif stop == "{":
            yield _OBJECT, body.split(":", 1)[0].strip(), ""
        elif stop == "}":
            yield _END, "", ""


def _string_value(value: str) -> str:
    if value.startswith("'"):
        value = value[1:-1] if len(value) > 1 and value.endswith("'") else value[1:]
    return vsk_unescape(value)


def parse_vsk(text: str) -> Message:
    message = Message()
    items = _statements(text)
    next(items, None)  # the message's own open line
    for kind, name, value in items:
        if kind == _END:
            break
        if kind != _PROPERTY:
            continue
        key = name.lower()
        if key == "name":
            message.name = _string_value(value)
        elif key.strip('"') == "objects":
            for kind2, _, _ in items:
                if kind2 == _END:
                    break
                if kind2 == _OBJECT:
                    message.headers.append(_read_header(items))
    return message


def _read_header(items) -> Header:
    header = Header("", "")
    for kind, name, value in items:
        if kind == _END:
            break
        key = name.lower()
        if key == "guid":
            header.guid = _string_value(value)
        elif key == "name":
            header.name = _string_value(value)
        elif key == "data":
            header.text = _text_of_b64(_string_value(value))
        elif key == "datatype":
            header.type = _DHT_BY_NAME.get(value.lower(), header.type)
    return header


# --- framing -----------------------------------------------------------------------------------


def size_field(count: int) -> bytes:
    return str(count).encode("ascii").ljust(SIZE_FIELD, b" ")


def header_line(command: str, password: str = "") -> bytes:
    return ("Protocol=VSK;Command=%s;Password=%s;\r" % (command, password)).encode("utf-8")


def encode_message(message: Message) -> bytes:
    body = zlib.compress(vsk_text(message).encode("utf-16-le"))
    return size_field(len(body)) + body + size_field(len(message.block)) + message.block


class Channel:
    """One connection to a server: requests go out, one reply comes back for each."""

    def __init__(self, sock: socket.socket, password: str = ""):
        self._sock = sock
        self._password = password

    def close(self) -> None:
        try:
            self._sock.close()
        except OSError:
            pass

    def _send(self, data: bytes) -> None:
        try:
            self._sock.sendall(data)
        except (OSError, socket.timeout) as e:
            raise ConnectionLost("sending to qmsrv failed: %s" % e) from e

    def _read(self, count: int) -> bytes:
        parts = []
        while count > 0:
            try:
                part = self._sock.recv(min(count, 1 << 20))
            except socket.timeout as e:
                raise ConnectionLost("qmsrv did not answer in time") from e
            except OSError as e:
                raise ConnectionLost("reading from qmsrv failed: %s" % e) from e
            if not part:
                raise ConnectionLost("qmsrv closed the connection")
            parts.append(part)
            count -= len(part)
        return b"".join(parts)

    def _read_rest(self) -> bytes:
        """What a short reply ("Invalid Headers") still has to say, without waiting long."""
        old = self._sock.gettimeout()
        self._sock.settimeout(0.2)
        parts = []
        try:
            while True:
                part = self._sock.recv(4096)
                if not part:
                    break
                parts.append(part)
        except (OSError, socket.timeout):
            pass
        finally:
            try:
                self._sock.settimeout(old)
            except OSError:
                pass
        return b"".join(parts)

    def _read_size(self, first: bool) -> int:
        raw = self._read(SIZE_FIELD)
        text = raw.decode("latin-1").strip(" \t\r\n\0")
        if not text.isdigit():
            if first:
                reply = (raw + self._read_rest()).decode("latin-1").strip()
                raise ProtocolError(reply or "not a qmsrv reply")
            raise ProtocolError("bad size field %r" % raw)
        return int(text)

    def check(self) -> bool:
        self._send(header_line("C", self._password))
        return self._read(1) == b"O"

    def server_id(self) -> str:
        self._send(header_line("V", self._password))
        raw = self._read(15).decode("latin-1")
        if not raw.isdigit():
            raise ProtocolError((raw + self._read_rest().decode("latin-1")).strip())
        return raw

    def call(self, message: Message) -> Message:
        self._send(header_line("Data", self._password) + encode_message(message))
        body = self._read(self._read_size(True))
        block = self._read(self._read_size(False))
        try:
            text = zlib.decompress(body).decode("utf-16-le")
        except (zlib.error, UnicodeError) as e:
            raise ProtocolError("reply header text does not decode: %s" % e) from e
        reply = parse_vsk(text)
        reply.block = block
        return reply
