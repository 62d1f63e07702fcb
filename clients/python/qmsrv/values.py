"""Python values to request headers, and result text to Python values."""

from __future__ import annotations

import datetime
import decimal
import re
from typing import Any, Callable, Dict, Tuple

from . import wire

NULL_TEXT = "NULL;"


class UnsupportedValue(ValueError):
    pass


def param_header(value: Any, driver: str = "") -> Tuple[str, int]:
    """The (text, header type) that carries a parameter value to a session of driver."""
    if value is None:
        return NULL_TEXT, wire.DHT_STRING
    if isinstance(value, bool):
        return ("True" if value else "False"), wire.DHT_BOOLEAN
    if isinstance(value, int):
        # An integer header is read as 32 bits; larger ones go as text the engine converts.
        return str(value), (wire.DHT_INTEGER if -2**31 <= value < 2**31 else wire.DHT_STRING)
    if isinstance(value, float):
        return repr(value), wire.DHT_DOUBLE
    if isinstance(value, decimal.Decimal):
        if not value.is_finite():
            raise UnsupportedValue("a decimal parameter must be finite")
        return format(value, "f"), wire.DHT_STRING
    if isinstance(value, datetime.datetime):
        if value.tzinfo is not None:
            value = value.astimezone(datetime.timezone.utc).replace(tzinfo=None)
        return value.isoformat(sep=" "), wire.DHT_STRING
    if isinstance(value, (datetime.date, datetime.time)):
        return value.isoformat(), wire.DHT_STRING
    if isinstance(value, (bytes, bytearray, memoryview)):
        data = bytes(value)
        if driver == "PostgreSQL":
            # Sent as text there: bytea's own hex input form keeps zero bytes.
            return "\\x" + data.hex(), wire.DHT_STRING
        return ("{%s}" % ",".join(str(b) for b in data) if data else ""), wire.DHT_BYTES
    if isinstance(value, str):
        if value == NULL_TEXT:
            raise UnsupportedValue("the text 'NULL;' cannot be sent: the protocol reads it as null")
        return value, wire.DHT_STRING
    raise UnsupportedValue("cannot send a parameter of type %s" % type(value).__name__)


_DATE = re.compile(r"^(-?\d{4,})-(\d\d)-(\d\d)$")
_TIME = re.compile(r"^(\d\d):(\d\d)(?::(\d\d)(?:\.(\d+))?)?([+-]\d\d(?::?\d\d)?)?$")
_STAMP = re.compile(r"^(-?\d{4,})-(\d\d)-(\d\d)[ T](\d\d):(\d\d)(?::(\d\d)(?:\.(\d+))?)?"
                    r"([+-]\d\d(?::?\d\d)?|Z)?$")


def _micro(fraction: str) -> int:
    return int((fraction or "0")[:6].ljust(6, "0"))


def _zone(text: str):
    if not text:
        return None
    if text == "Z":
        return datetime.timezone.utc
    sign = -1 if text[0] == "-" else 1
    digits = text[1:].replace(":", "")
    hours, minutes = int(digits[:2]), int(digits[2:4] or 0)
    return datetime.timezone(sign * datetime.timedelta(hours=hours, minutes=minutes))


def to_datetime(text: str):
    """A date, time or timestamp as the engines write them; the text itself when none fits."""
    m = _STAMP.match(text)
    if m:
        y, mo, d, h, mi, s, frac, zone = m.groups()
        return datetime.datetime(int(y), int(mo), int(d), int(h), int(mi), int(s or 0),
                                 _micro(frac), _zone(zone))
    m = _DATE.match(text)
    if m:
        return datetime.date(int(m.group(1)), int(m.group(2)), int(m.group(3)))
    m = _TIME.match(text)
    if m:
        h, mi, s, frac, zone = m.groups()
        return datetime.time(int(h), int(mi), int(s or 0), _micro(frac), _zone(zone))
    return text


def to_bool(text: str):
    if not text:
        return text
    return text[0] in "1TtYy"


def to_int(text: str):
    try:
        return int(text)
    except ValueError:
        return to_number(text)


def to_number(text: str):
    try:
        return decimal.Decimal(text)
    except decimal.InvalidOperation:
        return text


def to_float(text: str):
    try:
        return float(text)
    except ValueError:
        return text


CONVERTERS: Dict[int, Callable[[str], Any]] = {
    wire.DHT_INTEGER: to_int,
    wire.DHT_CARDINAL: to_int,
    wire.DHT_BOOLEAN: to_bool,
    wire.DHT_CURRENCY: to_number,
    wire.DHT_DOUBLE: to_float,
    wire.DHT_DATETIME: to_datetime,
}


def bytes_of(value: Any, driver: str = "") -> Any:
    """The bytes of a binary value read as text. PostgreSQL sends bytea in its text output form,
    hex ("\\x0a1b") or escape ("\\000a\\\\"); SQLite sends each byte as one character
    U+0000..U+00FF; Firebird sends a binary blob as its content decoded as UTF-8 (bytes that are
    not UTF-8 arrive as U+FFFD and cannot be had back)."""
    if value is None or isinstance(value, bytes):
        return value
    if driver == "PostgreSQL":
        if value.startswith("\\x"):
            return bytes.fromhex(value[2:])
        out = bytearray()
        i = 0
        while i < len(value):
            if value[i] == "\\":
                if value.startswith("\\\\", i):
                    out.append(0x5C)
                    i += 2
                else:
                    out.append(int(value[i + 1:i + 4], 8))
                    i += 4
            else:
                out.extend(value[i].encode("latin-1"))
                i += 1
        return bytes(out)
    if driver == "Firebird":
        return value.encode("utf-8")
    return value.encode("latin-1")


def split_rows(block: bytes, columns: int):
    """The rows of an inflated result block, each a list of str or None."""
    text = block.decode("utf-8")
    if not text:
        return []
    if not text.endswith("\ue002"):
        raise ValueError("result block does not end with a row terminator")
    rows = []
    for row in text[:-1].split("\ue002"):
        values = row.split("\ue001") if columns else []
        if columns and len(values) != columns:
            raise ValueError("result row has %d values for %d columns" % (len(values), columns))
        rows.append([None if v == NULL_TEXT else v for v in values])
    return rows
