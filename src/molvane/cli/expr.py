"""The filter language: conditions on a block's SD data records.

Grammar (keywords in any case)::

    expr       := or
    or         := and ("or" and)*
    and        := not ("and" not)*
    not        := "not" not | primary
    primary    := "(" expr ")"
                | "exists" field | "missing" field
                | field op literal            op: < <= > >= == !=
                | field ("~" | "!~") string   regular expression, searched
                | field ["not"] "in" (list | @file)
    field      := NAME | `any text` | $title
    literal    := number | "text" | 'text'
    list       := "(" literal ("," literal)* ")"

A number on the right makes the comparison numeric: the record's value is
read as a float (spaces around it ignored) and a value that is not a number,
like a missing record, makes the comparison false. A string on the right
compares the value's bytes with the string's UTF-8. ``@file`` reads one value
per line from a file (ids of the blocks to keep). ``$title`` is the block's
title line. Of a name repeated in one block the first record counts.

The expression is tokenised and parsed here into nested Python closures;
nothing of it is ever evaluated as Python code.
"""

from __future__ import annotations

import operator
import re
from collections.abc import Callable
from typing import Any

from molvane.cli.errors import CommandError

Predicate = Callable[[Any], bool]

_TOKEN = re.compile(
    r"""
    (?P<space>\s+)
  | (?P<number>[+-]?(?:\d+\.?\d*|\.\d+)(?:[eE][+-]?\d+)?(?![\w.]))
  | (?P<string>"(?:[^"\\]|\\.)*"|'(?:[^'\\]|\\.)*')
  | (?P<quoted>`[^`]*`)
  | (?P<file>@\S+)
  | (?P<op><=|>=|==|!=|!~|<|>|~|=|\(|\)|,)
  | (?P<name>\$?[^\s()<>=!~,"'`@]+)
    """,
    re.VERBOSE,
)
_KEYWORDS = {"and", "or", "not", "exists", "missing", "in"}
_ESCAPES = {"n": "\n", "t": "\t", "\\": "\\", '"': '"', "'": "'"}


class ExpressionError(CommandError):
    def __init__(self, message: str, text: str, at: int) -> None:
        super().__init__(f"bad filter expression: {message} at column {at + 1} of {text!r}")


class _Token:
    __slots__ = ("kind", "text", "at")

    def __init__(self, kind: str, text: str, at: int) -> None:
        self.kind, self.text, self.at = kind, text, at

    def keyword(self, word: str) -> bool:
        return self.kind == "name" and self.text.lower() == word


def _unquote(text: str) -> str:
    body = text[1:-1]
    return re.sub(r"\\(.)", lambda m: _ESCAPES.get(m.group(1), "\\" + m.group(1)), body)


def tokenize(text: str) -> list[_Token]:
    tokens, at = [], 0
    while at < len(text):
        match = _TOKEN.match(text, at)
        if match is None:
            raise ExpressionError(f"unexpected {text[at]!r}", text, at)
        kind = match.lastgroup or ""
        if kind != "space":
            tokens.append(_Token(kind, match.group(), at))
        at = match.end()
    tokens.append(_Token("end", "", len(text)))
    return tokens


def _ids_from(path: str) -> frozenset[bytes]:
    try:
        with open(path, "rb") as handle:
            data = handle.read()
    except OSError as error:
        raise CommandError(f"{path}: {error.strerror}") from None
    # A byte order mark (as some editors save) is not part of the first id.
    data = data.removeprefix(b"\xef\xbb\xbf")
    return frozenset(line.strip() for line in data.splitlines() if line.strip())


# The operator module's functions: compiled, a call cheaper than a lambda.
_TEXT: dict[str, Callable[[Any, Any], bool]] = {
    "<": operator.lt,
    "<=": operator.le,
    ">": operator.gt,
    ">=": operator.ge,
    "==": operator.eq,
    "!=": operator.ne,
}
_NUMERIC: dict[str, Callable[[float, float], bool]] = dict(
    _TEXT, **{"!=": lambda a, b: a != b and a == a}
)


def _numeric(
    get: Callable[[Any], bytes | None], compare: Callable[[float, float], bool], value: float
) -> Predicate:
    """The predicate of `field op number`: the hot path of most filters."""

    def predicate(block: Any) -> bool:
        raw = get(block)
        if raw is None:
            return False
        try:
            number = float(raw)
        except ValueError:
            return False
        return compare(number, value)

    return predicate


# Parentheses and "not"s nested deeper than this are refused: each level
# costs a few Python frames to parse and one to evaluate.
MAX_DEPTH = 100


class _Parser:
    def __init__(self, text: str) -> None:
        self.text = text
        self.tokens = tokenize(text)
        self.index = 0
        self.depth = 0
        self.fields: list[str] = []

    def enter(self) -> None:
        self.depth += 1
        if self.depth > MAX_DEPTH:
            raise self.fail(f"expression too deeply nested (more than {MAX_DEPTH} levels)")

    @property
    def token(self) -> _Token:
        return self.tokens[self.index]

    def take(self) -> _Token:
        token = self.tokens[self.index]
        self.index += 1
        return token

    def fail(self, message: str, token: _Token | None = None) -> ExpressionError:
        token = token or self.token
        found = "the end" if token.kind == "end" else repr(token.text)
        return ExpressionError(f"{message}, found {found}", self.text, token.at)

    def parse(self) -> Predicate:
        if self.token.kind == "end":
            raise self.fail("empty expression")
        predicate = self.parse_or()
        if self.token.kind != "end":
            raise self.fail("expected 'and', 'or' or the end")
        return predicate

    def parse_or(self) -> Predicate:
        terms = [self.parse_and()]
        while self.token.keyword("or"):
            self.take()
            terms.append(self.parse_and())
        if len(terms) == 1:
            return terms[0]
        return lambda block: any(term(block) for term in terms)

    def parse_and(self) -> Predicate:
        terms = [self.parse_not()]
        while self.token.keyword("and"):
            self.take()
            terms.append(self.parse_not())
        if len(terms) == 1:
            return terms[0]
        return lambda block: all(term(block) for term in terms)

    def parse_not(self) -> Predicate:
        if self.token.keyword("not"):
            self.take()
            self.enter()
            inner = self.parse_not()
            self.depth -= 1
            return lambda block: not inner(block)
        return self.parse_primary()

    def field(self) -> Callable[[Any], bytes | None]:
        token = self.token
        if token.kind == "quoted":
            name = token.text[1:-1]
        elif token.kind == "name" and token.text.lower() not in _KEYWORDS:
            name = token.text
        else:
            raise self.fail("expected a field name")
        self.take()
        if name == "$title":
            return lambda block: block.title
        if not name:
            raise self.fail("empty field name", token)
        self.fields.append(name)
        key = name.encode()
        return operator.methodcaller("get", key)

    def literal(self) -> float | bytes:
        token = self.take()
        if token.kind == "number":
            return float(token.text)
        if token.kind == "string":
            return _unquote(token.text).encode()
        raise self.fail("expected a number or a quoted string", token)

    def parse_primary(self) -> Predicate:
        token = self.token
        if token.kind == "op" and token.text == "(":
            self.take()
            self.enter()
            inner = self.parse_or()
            self.depth -= 1
            if not (self.token.kind == "op" and self.token.text == ")"):
                raise self.fail("expected ')'")
            self.take()
            return inner
        if token.keyword("exists") or token.keyword("missing"):
            self.take()
            get = self.field()
            if token.keyword("exists"):
                return lambda block: get(block) is not None
            return lambda block: get(block) is None
        get = self.field()
        negate = False
        if self.token.keyword("not"):
            self.take()
            negate = True
            if not self.token.keyword("in"):
                raise self.fail("expected 'in' after 'not'")
        if self.token.keyword("in"):
            self.take()
            values = self.members()
            # Ids are matched without the spaces around them.
            if negate:
                return lambda block: (got := get(block)) is None or got.strip() not in values
            return lambda block: (got := get(block)) is not None and got.strip() in values
        op = self.take()
        if op.kind != "op" or op.text in ("(", ")", ","):
            raise self.fail("expected a comparison (<, <=, >, >=, ==, !=, ~, !~ or in)", op)
        if op.text == "=":
            raise self.fail("use '==' to compare", op)
        if op.text in ("~", "!~"):
            pattern_token = self.token
            pattern = self.literal()
            if not isinstance(pattern, bytes):
                raise self.fail("a regular expression is a quoted string", pattern_token)
            try:
                regex = re.compile(pattern)
            except re.error as error:
                raise self.fail(f"bad regular expression ({error})", pattern_token) from None
            search = regex.search
            if op.text == "~":
                return lambda block: (value := get(block)) is not None and search(value) is not None
            return lambda block: (value := get(block)) is None or search(value) is None
        value = self.literal()
        if isinstance(value, float):
            return _numeric(get, _NUMERIC[op.text], value)
        compare_text = _TEXT[op.text]
        return lambda block: (got := get(block)) is not None and compare_text(got, value)

    def members(self) -> frozenset[Any]:
        token = self.token
        if token.kind == "file":
            self.take()
            return _ids_from(token.text[1:])
        if not (token.kind == "op" and token.text == "("):
            raise self.fail("expected '(' or @file after 'in'")
        self.take()
        values: set[bytes] = set()
        while True:
            literal_token = self.token
            if literal_token.kind == "number":
                # Ids are compared as written: 7 matches the value "7".
                self.take()
                values.add(literal_token.text.encode())
            else:
                value = self.literal()
                assert isinstance(value, bytes)
                values.add(value)
            separator = self.take()
            if separator.kind == "op" and separator.text == ")":
                return frozenset(values)
            if not (separator.kind == "op" and separator.text == ","):
                raise self.fail("expected ',' or ')'", separator)


def compile_expression(text: str) -> Predicate:
    """A predicate over bytes SDBlocks for the filter expression `text`."""
    return _Parser(text).parse()


def compile_with_fields(text: str) -> tuple[Predicate, list[str]]:
    """The predicate of `text` and the field names it reads, in order."""
    parser = _Parser(text)
    return parser.parse(), list(dict.fromkeys(parser.fields))
