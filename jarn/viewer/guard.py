"""Who may use the viewer: the one who started it, from their own browser.

The viewer shows every recorded value, so a request is answered only when all of these hold:
- its Host is 127.0.0.1, localhost or [::1] (with the server's port, or none), or the name given
  with `jarn serve --host`: a page whose name was made to point at 127.0.0.1 (DNS rebinding) gets
  nothing;
- it only reads (GET);
- it comes from the viewer's own pages, or from no page at all: an Origin of another site, or a
  Sec-Fetch-Site other than "same-origin" or "none", is refused;
- it carries the server's token (unless started with --no-token): in the URL that `jarn serve`
  prints and opens, which sets a cookie for the pages and requests that follow.
Anything else gets 403 and a line saying why, never data.
"""

from __future__ import annotations

import hmac
import secrets
from collections.abc import Mapping
from dataclasses import dataclass
from http.cookies import CookieError, SimpleCookie
from urllib.parse import parse_qs

LOCAL_NAMES = ("127.0.0.1", "localhost", "[::1]")
READING = ("GET",)


def new_token() -> str:
    return secrets.token_urlsafe(24)


def _split_host(value: str) -> tuple[str, str | None]:
    """("name", "port" or None) of a Host header, the name lowercased ("[::1]" keeps its brackets)."""
    value = value.strip().lower()
    if value.startswith("["):
        name, _, rest = value.partition("]")
        name += "]"
        if not rest:
            return name, None
        return name, rest[1:] if rest.startswith(":") else "?"
    name, colon, port = value.rpartition(":")
    return (name, port) if colon else (value, None)


@dataclass(frozen=True)
class Guard:
    port: int
    token: str | None = None  # None: no token asked for (--no-token)
    host: str | None = None  # another name the viewer is reached by (--host)

    @property
    def names(self) -> tuple[str, ...]:
        return LOCAL_NAMES + ((self.host.lower(),) if self.host else ())

    @property
    def cookie_name(self) -> str:
        # Cookies are shared by every port of a host: each viewer has its own.
        return f"jarn_token_{self.port}"

    def url(self, name: str = "127.0.0.1") -> str:
        """The address to open: with the token, which sets the cookie."""
        return f"http://{name}:{self.port}/" + (f"?token={self.token}" if self.token else "")

    def refusal(self, method: str, query: str, headers: Mapping[str, str]) -> str | None:
        """Why the request is refused, or None when it may be answered."""
        name, port = _split_host(headers.get("Host") or "")
        if name not in self.names or port not in (None, str(self.port)):
            return f"this viewer answers only for {', '.join(self.names)} (Host was {headers.get('Host')!r})"
        if method not in READING:
            return "the viewer only shows traces: nothing here changes them"
        origin = headers.get("Origin")
        if origin is not None and origin.lower() not in {f"http://{n}:{self.port}" for n in self.names}:
            return f"requests from other sites are refused (Origin {origin!r})"
        fetch_site = headers.get("Sec-Fetch-Site")
        if fetch_site is not None and fetch_site.lower() not in ("same-origin", "none"):
            return f"requests from other sites are refused (Sec-Fetch-Site {fetch_site!r})"
        if self.token is not None and not (self.token_in_url(query) or self._token_in_cookie(headers)):
            return "this viewer needs its token: open the address that jarn serve printed (or start it with --no-token)"
        return None

    def token_in_url(self, query: str) -> bool:
        given = parse_qs(query).get("token", [""])[0]
        return self.token is not None and hmac.compare_digest(given.encode(), self.token.encode())

    def _token_in_cookie(self, headers: Mapping[str, str]) -> bool:
        cookies = SimpleCookie()
        try:
            cookies.load(headers.get("Cookie") or "")
        except CookieError:
            return False
        given = cookies.get(self.cookie_name)
        return given is not None and self.token is not None and hmac.compare_digest(given.value.encode(), self.token.encode())

    def set_cookie(self) -> str:
        return f"{self.cookie_name}={self.token}; Path=/; HttpOnly; SameSite=Strict"
