"""Text from the traced program, made safe to print on a terminal.

Names, paths, values, argv and sources come from the program, which may put control characters
in them: an escape sequence in a function's name would drive the user's terminal (move the
cursor, rewrite what was printed, set the window title). Every terminal view passes such text
through `printable`, which writes those characters as Python escapes ("\\x1b", "\\n", "\\u202e")
and leaves everything else as it is.
"""

from __future__ import annotations

import unicodedata

# Control and format characters (C0, DEL, C1, bidirectional overrides...) and the line and
# paragraph separators: what a terminal acts on instead of showing.
_ESCAPED = frozenset(("Cc", "Cf", "Zl", "Zp", "Cs"))


def _escape(ch: str) -> str:
    code = ord(ch)
    if ch in "\n\r\t":
        return {"\n": "\\n", "\r": "\\r", "\t": "\\t"}[ch]
    return f"\\x{code:02x}" if code < 0x100 else f"\\u{code:04x}" if code < 0x10000 else f"\\U{code:08x}"


def printable(text: object) -> str:
    """`text` (made a str) with control characters escaped; plain text comes back unchanged."""
    text = text if isinstance(text, str) else str(text)
    if text.isascii() and text.isprintable():
        return text
    return "".join(_escape(ch) if unicodedata.category(ch) in _ESCAPED else ch for ch in text)
