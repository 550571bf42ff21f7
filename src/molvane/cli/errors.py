"""How the command line reports failures: one line on stderr, never a traceback."""

from __future__ import annotations

import os


class CommandError(Exception):
    """A failure the user can act on; its message is printed as it stands."""


class UsageError(CommandError):
    """Arguments that do not make sense together (exit status 2, as argparse uses)."""


# Advice the library gives in terms of its Python calls, and what a shell
# user does instead.
_FOR_THE_SHELL = (
    ("; pass title= another name", "; leave out --title"),
    ("; pass molblock= another name", "; leave out --molblock"),
    (
        "parse_sdf(os.fsencode(path)) reads such files as bytes, and "
        "parse_sdf(open(path, encoding=...)) decodes another encoding.",
        "cut, to-csv and to-jsonl read other encodings with --encoding NAME.",
    ),
)


def for_the_shell(text: str) -> str:
    """`text` with advice about Python calls put as command line options."""
    for python, shell in _FOR_THE_SHELL:
        text = text.replace(python, shell)
    return text


def one_line(error: BaseException) -> str:
    """The message of `error` with its notes (which name the block at fault), on one line."""
    if isinstance(error, OSError) and error.strerror:
        where = error.filename if error.filename is not None else None
        text = error.strerror
        if where is not None:
            text = f"{os.fsdecode(where)}: {text}"
    else:
        text = str(error) or type(error).__name__
        if isinstance(error, UnicodeDecodeError):
            text = f"text is not UTF-8 ({error.reason} at byte {error.start})"
    notes = getattr(error, "__notes__", None) or []
    parts = [" ".join(for_the_shell(part).split()) for part in (text, *notes) if part.strip()]
    return " ".join(
        part if part[-1] in ".:;!?)" or part is parts[-1] else part + "." for part in parts
    )
