"""``molvane view``: browse SD files in a local web page."""

from __future__ import annotations

import argparse
import sys
import webbrowser
from typing import Any

from molvane.cli.common import non_negative
from molvane.cli.errors import UsageError, one_line

LOOPBACK = ("127.0.0.1", "localhost", "::1")


def run(args: argparse.Namespace) -> int:
    from molvane.viewer import FileRefused, open_viewer

    try:
        server = open_viewer(args.files, args.host, args.port)
    except FileRefused as error:
        raise UsageError(str(error)) from None
    except OSError as error:
        raise UsageError(f"cannot listen on {args.host}:{args.port}: {one_line(error)}") from None
    if args.host not in LOOPBACK:
        print(
            f"molvane view: listening on {args.host}, beyond this machine: "
            "anyone with the URL can read the files",
            file=sys.stderr,
        )
    print(f"molvane view: serving {len(args.files)} file(s) at {server.url}", flush=True)
    print("press Ctrl-C to stop", file=sys.stderr, flush=True)
    if not args.no_browser:
        webbrowser.open(server.url)
    try:
        server.serve_forever()
    except KeyboardInterrupt:
        print("molvane view: stopped", file=sys.stderr)
    finally:
        server.server_close()
    return 0


def register(sub: Any) -> None:
    parser = sub.add_parser(
        "view",
        help="browse SD files in a local web page: drawings, filter, sort, export",
        description=(
            "Serve FILEs in a web page on this machine: a grid or table of the blocks, "
            "paging and jump to a block, a filter in the language of 'molvane filter', "
            "sort by a field, each block's drawing, records and text, and export of the "
            "selected blocks as SD, CSV or Parquet. Every request needs the token in the "
            "printed URL. A FILE may be the URL of a plain remote file (s3://, https://). "
            "Compressed files are refused, BGZF excepted: decompress them first."
        ),
        epilog="example:\n  molvane view library.sdf --no-browser",
        formatter_class=argparse.RawDescriptionHelpFormatter,
    )
    parser.add_argument("files", nargs="+", metavar="FILE", help="plain SD files or their URLs")
    parser.add_argument(
        "--port", type=non_negative, default=0, help="port to listen on (default: a free one)"
    )
    parser.add_argument(
        "--host",
        default="127.0.0.1",
        help="address to listen on (default: 127.0.0.1); requests must name it or a "
        "loopback name in their Host header",
    )
    parser.add_argument(
        "--no-browser", action="store_true", help="only print the URL; open no browser"
    )
    parser.set_defaults(run=run)
