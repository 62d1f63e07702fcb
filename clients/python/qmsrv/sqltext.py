"""Named parameters (":name") to the server's markers ("?name"), outside literals and comments."""

from __future__ import annotations

from typing import List, Tuple


def _is_name_char(c: str) -> bool:
    return c.isascii() and (c.isalnum() or c == "_")


def translate_named(sql: str) -> Tuple[str, List[str]]:
    """The SQL text with every :name marker written ?name, and the names in order.

    Text inside '...', "...", -- comments and /* */ comments is copied unchanged, and so are
    PostgreSQL casts ("::type") and a lone ":".
    """
    out: List[str] = []
    names: List[str] = []
    i, n = 0, len(sql)
    while i < n:
        c = sql[i]
        if c in "'\"":
            end = i + 1
            while end < n:
                if sql[end] == c:
                    if end + 1 < n and sql[end + 1] == c:  # a doubled quote stays inside
                        end += 2
                        continue
                    break
                end += 1
            out.append(sql[i:end + 1])
            i = end + 1
        elif sql.startswith("--", i):
            end = sql.find("\n", i)
            end = n if end < 0 else end
            out.append(sql[i:end])
            i = end
        elif sql.startswith("/*", i):
            end = sql.find("*/", i + 2)
            end = n if end < 0 else end + 2
            out.append(sql[i:end])
            i = end
        elif c == ":" and sql.startswith("::", i):
            out.append("::")
            i += 2
        elif c == ":" and i + 1 < n and _is_name_char(sql[i + 1]) and not sql[i + 1].isdigit():
            end = i + 1
            while end < n and _is_name_char(sql[end]):
                end += 1
            names.append(sql[i + 1:end])
            out.append("?" + sql[i + 1:end])
            i = end
        else:
            out.append(c)
            i += 1
    return "".join(out), names
