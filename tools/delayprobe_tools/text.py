"""Names and numbers as the tools print them: on one line, safe in a
Markdown table cell, and in full."""

import fractions
import os
import re


def raw(name):
    """The bytes of a name, given as bytes or as text that Python decoded
    from them, whatever the file system's encoding: os.fsencode would fail
    on text such as é under an ASCII locale."""
    return bytes(name) if isinstance(name, (bytes, bytearray)) else \
        os.fspath(name).encode("utf-8", "surrogateescape")


def shown(name):
    """name (text or bytes) on one line: bytes that are not UTF-8, and
    control characters, as backslash escapes."""
    text = raw(name).decode("utf-8", "backslashreplace")
    return re.sub(r"[\x00-\x1f\x7f]", lambda c: repr(c[0])[1:-1], text)


def cell(name):
    """name as text that stays in its Markdown table cell."""
    return shown(name).replace("|", "\\|")


def code(name):
    """name as a code span in a table cell, fenced by more backticks than
    it holds."""
    text = shown(name)
    fence = "`" * (1 + max(map(len, re.findall("`+", text)), default=0))
    pad = " " if text[:1] == "`" or text[-1:] == "`" else ""
    return (fence + pad + text + pad + fence).replace("|", "\\|")


def number(x, places=2):
    """x in full, never as 1e+06, with at most places decimals. Whole
    numbers and fractions are exact at any size: a float would round a
    figure of 17 digits or more."""
    if isinstance(x, float):
        text = f"{x:.{places}f}"
    else:
        scaled = round(fractions.Fraction(x) * 10 ** places)
        whole, part = divmod(abs(scaled), 10 ** places)
        text = f"{'-' if scaled < 0 else ''}{whole}.{part:0{places}d}"
    text = text.rstrip("0").rstrip(".") if places else text
    return "0" if text == "-0" else text


def listed(names, limit=10):
    """names joined by commas, the first limit of them."""
    more = len(names) - limit
    return ", ".join(names[:limit]) + (f" and {more} more" if more > 0 else "")
