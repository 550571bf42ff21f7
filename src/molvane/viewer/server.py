"""The viewer's HTTP server: the standard library's ThreadingHTTPServer.

Why not an ASGI stack: the viewer serves one user on one machine, a page
at a time, from a few JSON routes; a thread per request is plenty, and the
standard library adds no dependency to install, update or audit.

Every request is checked before anything else:

- its Host header must name this server by a loopback address (or the
  address it was started on) and its port, so a web page whose domain is
  rebound to 127.0.0.1 is refused;
- it must carry the token made at start, in the URL (`?token=`) or in the
  cookie the first page load sets; anything else gets 403.

Only the files given at start are served, by their number in that list;
the page's own files come from the package, by a fixed table of names. No
part of a request is ever used as a path.
"""

from __future__ import annotations

import hmac
import json
import secrets
import sys
import threading
from collections.abc import Sequence
from http import HTTPStatus
from http.server import BaseHTTPRequestHandler, ThreadingHTTPServer
from importlib import resources
from typing import Any
from urllib.parse import parse_qs, urlsplit

from molvane.viewer.catalog import View, ViewedFile, ViewError
from molvane.viewer.drawing import CELL, DETAIL, svg_of
from molvane.viewer.export import FORMATS, export

# The page's own files: URL path -> (file in the package, content type).
STATIC = {
    "/": ("index.html", "text/html; charset=utf-8"),
    "/viewer.js": ("viewer.js", "text/javascript; charset=utf-8"),
    "/viewer.css": ("viewer.css", "text/css; charset=utf-8"),
}
MAX_PAGE = 500
MAX_BODY = 16 * 1024 * 1024
LOOPBACK = ("127.0.0.1", "localhost", "[::1]")
_HEADERS = {
    # The page loads nothing from elsewhere and drawings are images, so
    # nothing but our own script runs in it.
    "Content-Security-Policy": (
        "default-src 'none'; script-src 'self'; style-src 'self'; img-src 'self' data:; "
        "connect-src 'self'; form-action 'self'; frame-ancestors 'none'; base-uri 'none'"
    ),
    "X-Content-Type-Options": "nosniff",
    "Referrer-Policy": "no-referrer",
    "Cache-Control": "no-store",
}


class BadRequest(Exception):
    """A request whose parameters make no sense (400, with this message)."""


class ViewerServer(ThreadingHTTPServer):
    daemon_threads = True

    def __init__(self, files: Sequence[ViewedFile], host: str, port: int) -> None:
        super().__init__((host, port), Handler)
        self.files = list(files)
        self.token = secrets.token_urlsafe(32)
        port = self.server_address[1]
        self.cookie = f"molvane-{port}"
        names = {*LOOPBACK, f"[{host}]" if ":" in host else host}
        self.hosts = {f"{name}:{port}" for name in names}
        self.pages = {
            route: (resources.files("molvane.viewer").joinpath("static", name).read_bytes(), kind)
            for route, (name, kind) in STATIC.items()
        }

    @property
    def url(self) -> str:
        host, port = str(self.server_address[0]), self.server_address[1]
        shown = host if host not in ("0.0.0.0", "::") else "127.0.0.1"
        if ":" in shown:
            shown = f"[{shown}]"
        return f"http://{shown}:{port}/?token={self.token}"

    def start(self) -> threading.Thread:
        """Serve on a thread of its own (for tests and embedding); stop with close()."""
        thread = threading.Thread(target=self.serve_forever, name="molvane-viewer", daemon=True)
        thread.start()
        return thread

    def close(self) -> None:
        self.shutdown()
        self.server_close()
        for file in self.files:
            file.close()


class Handler(BaseHTTPRequestHandler):
    server: ViewerServer
    server_version = "molvane-view"
    protocol_version = "HTTP/1.1"

    def log_message(self, format: str, *args: Any) -> None:
        pass  # a quiet terminal; failures are reported by _fail

    # -- checks ------------------------------------------------------------------

    def _allowed(self, query: dict[str, list[str]]) -> tuple[bool, bool]:
        """Whether the request may go on, and whether its token came in the URL."""
        if self.headers.get("Host", "") not in self.server.hosts:
            self._send_error(HTTPStatus.FORBIDDEN, "unknown Host")
            return False, False
        expected = self.server.token.encode()
        given = query.get("token", [""])[-1]
        if given and hmac.compare_digest(given.encode(), expected):
            return True, True
        for part in self.headers.get("Cookie", "").split(";"):
            name, _, value = part.strip().partition("=")
            if name == self.server.cookie and hmac.compare_digest(value.encode(), expected):
                return True, False
        self._send_error(
            HTTPStatus.FORBIDDEN, "a token is needed: open the URL molvane view printed"
        )
        return False, False

    # -- responses ---------------------------------------------------------------

    def _send(
        self, status: int, body: bytes, kind: str, extra: dict[str, str] | None = None
    ) -> None:
        self.send_response(status)
        self.send_header("Content-Type", kind)
        self.send_header("Content-Length", str(len(body)))
        for name, value in {**_HEADERS, **(extra or {})}.items():
            self.send_header(name, value)
        self.end_headers()
        if self.command != "HEAD":
            self.wfile.write(body)

    def _json(self, value: Any, status: int = HTTPStatus.OK) -> None:
        self._send(status, json.dumps(value).encode(), "application/json")

    def _send_error(self, status: int, message: str) -> None:
        self._json({"error": message}, status)

    def _fail(self, error: BaseException) -> None:
        if isinstance(error, BadRequest | ViewError | ValueError | ImportError | LookupError):
            self._send_error(HTTPStatus.BAD_REQUEST, _one_line(error))
            return
        print(f"molvane view: internal error: {_one_line(error)}", file=sys.stderr)
        self._send_error(HTTPStatus.INTERNAL_SERVER_ERROR, f"internal error: {_one_line(error)}")

    # -- routes ------------------------------------------------------------------

    def do_GET(self) -> None:
        url = urlsplit(self.path)
        query = parse_qs(url.query)
        allowed, token_in_url = self._allowed(query)
        if not allowed:
            return
        try:
            if url.path in self.server.pages:
                body, kind = self.server.pages[url.path]
                extra = {}
                if token_in_url:
                    # SameSite keeps other sites' pages from sending it.
                    extra["Set-Cookie"] = (
                        f"{self.server.cookie}={self.server.token}; Path=/; HttpOnly; SameSite=Strict"
                    )
                self._send(HTTPStatus.OK, body, kind, extra)
            elif url.path == "/api/files":
                self._json([file.status() for file in self.server.files])
            elif url.path == "/api/page":
                self._json(self._page(query))
            elif url.path == "/api/block":
                self._json(self._block(query))
            elif url.path == "/api/locate":
                self._json(self._locate(query))
            else:
                self._send_error(HTTPStatus.NOT_FOUND, "no such page")
        except Exception as error:
            self._fail(error)

    do_HEAD = do_GET

    def do_POST(self) -> None:
        url = urlsplit(self.path)
        allowed, _ = self._allowed(parse_qs(url.query))
        if not allowed:
            return
        try:
            if url.path != "/api/export":
                self._send_error(HTTPStatus.NOT_FOUND, "no such page")
                return
            length = int(self.headers.get("Content-Length") or 0)
            if not 0 <= length <= MAX_BODY:
                raise BadRequest("the request is too large")
            form = parse_qs(self.rfile.read(length).decode("ascii", "replace"))
            self._export(form)
        except Exception as error:
            self._fail(error)

    def _file(self, query: dict[str, list[str]]) -> ViewedFile:
        number = _int(query, "file", 0)
        if not 0 <= number < len(self.server.files):
            raise BadRequest(f"no file {number} (the viewer serves {len(self.server.files)})")
        return self.server.files[number]

    def _view(self, file: ViewedFile, query: dict[str, list[str]]) -> View:
        return file.view(
            query.get("filter", [""])[-1],
            query.get("sort", [""])[-1],
            query.get("desc", ["0"])[-1] == "1",
        )

    def _page(self, query: dict[str, list[str]]) -> dict[str, Any]:
        file = self._file(query)
        view = self._view(file, query)
        start = _int(query, "start", 0)
        count = _int(query, "count", 24)
        if start < 0 or not 1 <= count <= MAX_PAGE:
            raise BadRequest(f"start must be 0 or more and count 1 to {MAX_PAGE}")
        draw = query.get("draw", ["1"])[-1] == "1"
        result: dict[str, Any] = {
            "file": file.status(),
            "complete": view.complete,
            "progress": view.progress,
            "error": view.error,
            "pending": view.pending,
            "start": start,
            "rows": [],
        }
        if view.error is None and not view.pending:
            numbers = view.page(start, count)
            blocks = file.blocks(numbers)
            result["rows"] = [
                _row(number, block, CELL if draw else None)
                for number, block in zip(numbers, blocks)
            ]
        result["total"] = view.total
        return result

    def _block(self, query: dict[str, list[str]]) -> dict[str, Any]:
        file = self._file(query)
        number = _int(query, "n", 0)
        block = file.block(number)
        row = _row(number, block, DETAIL)
        row["raw"] = _text(_raw(block), row)
        return row

    def _locate(self, query: dict[str, list[str]]) -> dict[str, Any]:
        file = self._file(query)
        number = _int(query, "n", 0)
        view = self._view(file, query)
        file.wait_count()
        view.done.wait()  # a block not found yet may be found later
        return {"position": view.position_of(number)}

    def _export(self, form: dict[str, list[str]]) -> None:
        file = self._file(form)
        fmt = form.get("format", ["sdf"])[-1]
        if fmt not in FORMATS:
            raise BadRequest(f"unknown format {fmt!r} (one of {', '.join(FORMATS)})")
        text = form.get("blocks", [""])[-1]
        try:
            numbers = sorted({int(part) for part in text.split(",") if part})
        except ValueError:
            raise BadRequest("blocks is a list of block numbers separated by commas") from None
        if not numbers:
            raise BadRequest("no block is selected")
        blocks = [file.block(number) for number in numbers]
        body = export(blocks, fmt)
        kind, suffix = FORMATS[fmt]
        stem = "".join(c if c.isalnum() or c in "-_." else "_" for c in file.name.split(".")[0])
        disposition = f'attachment; filename="{stem or "blocks"}-selection{suffix}"'
        self._send(HTTPStatus.OK, body, kind, {"Content-Disposition": disposition})


def _int(query: dict[str, list[str]], name: str, default: int) -> int:
    values = query.get(name)
    if not values:
        return default
    try:
        return int(values[-1])
    except ValueError:
        raise BadRequest(f"{name} must be a whole number, not {values[-1]!r}") from None


def _raw(block: Any) -> bytes:
    return bytes(block)  # a bytes block's buffer: its text as read


def _text(value: bytes, row: dict[str, Any]) -> str:
    """`value` as text; bytes that are not UTF-8 show as U+FFFD and mark the row."""
    try:
        return value.decode("utf-8")
    except UnicodeDecodeError:
        row["not_utf8"] = True
        return value.decode("utf-8", "replace")


def _row(number: int, block: Any, size: tuple[int, int] | None) -> dict[str, Any]:
    row: dict[str, Any] = {"n": number, "records": []}
    row["title"] = _text(block.title, row)
    try:
        row["records"] = [[_text(n, row), _text(v, row)] for n, v in block.records()]
    except ValueError as error:  # a malformed data header: shown with the block
        row["records_error"] = _one_line(error)
    if size is not None:
        try:
            row["svg"] = svg_of(block, size)
        except Exception as error:  # shown in the cell in place of the drawing
            row["svg"] = None
            row["svg_error"] = _one_line(error)
    return row


def _one_line(error: BaseException) -> str:
    from molvane.cli.errors import one_line

    return one_line(error)
