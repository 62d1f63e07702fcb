"""The message form on its own: VSK text both ways, escapes and size fields."""

from __future__ import annotations

import zlib

from qmsrv import wire


def test_headers_survive_the_text_form_with_every_escape():
    message = wire.Message("Execute'SQL")
    names = ["it's", "a&b", "cr\rlf\n", "crlf\r\n", "nul\0", "{x};"]
    for i, name in enumerate(names):
        message.add("Sec", name, "value %d: ' & ; { }" % i, wire.DHT_INTEGER if i % 2 else 0)
    message.add("Sec", "empty", "")
    text = wire.vsk_text(message)
    assert "&apos&" in text and "&weof&" in text and "&ueof&" in text and "&null&" in text
    back = wire.parse_vsk(text)
    assert back.name == message.name
    assert [(h.guid, h.name, h.text, h.type) for h in back.headers] == \
        [(h.guid, h.name, h.text, h.type) for h in message.headers]


def test_reader_takes_what_the_writer_never_makes():
    text = ("Anything {\n  name = 'OK';\n  objects = {\n    TStreamDataHeader {\n"
            "      guid = 'a&scln&b&obkt&';\n      NAME = 'n';\n      datatype = DHTBOOLEAN;\n"
            "      Data = 'VAByAHUAZQA=';\n    }\n  }\n}\n")
    message = wire.parse_vsk(text)
    assert message.name == "OK"
    assert [(h.guid, h.name, h.text, h.type) for h in message.headers] == \
        [("a;b{", "n", "True", wire.DHT_BOOLEAN)]
    assert message.get("A;B{", "N") == "True"


def test_size_fields_and_framing():
    assert wire.size_field(1234) == b"1234      "
    assert wire.size_field(0) == b"0         "
    message = wire.Message("Status")
    message.block = b"\x00\x01"
    data = wire.encode_message(message)
    size = int(data[:10])
    body = data[10:10 + size]
    assert wire.parse_vsk(zlib.decompress(body).decode("utf-16-le")).name == "Status"
    assert data[10 + size:] == b"2         \x00\x01"
