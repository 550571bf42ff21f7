"""Record editing: placement, header styles, line endings, checks before changes."""

import pickle
import re
from types import SimpleNamespace

import pytest
from conftest import RECORD_EDITS, examples, state, text_of
from hypothesis import HealthCheck, settings
from hypothesis import strategies as st
from hypothesis.stateful import RuleBasedStateMachine, initialize, invariant, rule

from molvane.native import MalformedRecordError, SDBlock

HEAD = "t\n\nM  END\n"


def append(name, value, header="plain"):
    return lambda block: block.append_record(name, value, header=header)


@pytest.mark.parametrize(
    "sdf, edit, text",
    [
        # appended last, after a blank line
        ("", append("C", "c"), "> <C>\nc\n\n"),
        ("> <A>\na\n", append("C", "c"), "> <A>\na\n\n> <C>\nc\n\n"),
        ("> <A>\na\n\n", append("C", "c"), "> <A>\na\n\n> <C>\nc\n\n"),
        ("> <A>\na\n  \n", append("C", "c"), "> <A>\na\n  \n> <C>\nc\n\n"),
        ("", append("E", ""), "> <E>\n\n\n"),  # an empty value is two empty lines
        # header styles; "copy" takes the last header that has a name
        ("", append("C", "c", "padded"), ">  <C>\nc\n\n"),
        (">  <A>  (1)\na\n\n", append("C", "c", "copy"), ">  <A>  (1)\na\n\n>  <C>  (1)\nc\n\n"),
        (
            "  > 12 <A> x \na\n\n",
            append("C", "c", "copy"),
            "  > 12 <A> x \na\n\n  > 12 <C> x \nc\n\n",
        ),
        ("", append("C", "c", "copy"), "> <C>\nc\n\n"),
        ("stray\n>  <S>\n\n", append("C", "c", "copy"), "stray\n>  <S>\n\n> <C>\nc\n\n"),
        (
            "> (7) <A> [x]\na\n\n> nameless\nx\n\n",
            append("C", "c", "copy"),
            "> (7) <A> [x]\na\n\n> nameless\nx\n\n> (7) <C> [x]\nc\n\n",
        ),
        (
            "> nameless\nx\n\n> (7) <A> [x]\na\n\n",
            lambda b: b.replace_records([("A", "1"), ("D", "2")], header="copy"),
            "> (7) <A> [x]\n1\n\n> (7) <D> [x]\n2\n\n",
        ),
        # set_record keeps the first header and its place, removes the others
        (
            ">  <A>  (1)\n1\n\n> <B>\nb\n\n> <A>\n2\n\n> <A>\n3\n",
            lambda b: b.set_record("A", "new\nvalue"),
            ">  <A>  (1)\nnew\nvalue\n\n> <B>\nb\n\n",
        ),
        (
            "> <B>\nb\n\n",
            lambda b: b.set_record("Z", "z", header="padded"),
            "> <B>\nb\n\n>  <Z>\nz\n\n",
        ),
        (
            "> <A>\n1\n\nstray\n\n> <B>\nb\n\n> <A>\n2\n",
            lambda b: b.remove_record("A"),
            "stray\n\n> <B>\nb\n\n",
        ),
        ("> <A>\n1\n\n", lambda b: b.__delitem__("A"), ""),
        # the k-th new record of a name reuses the k-th old header of that name
        (
            "> 1 <B>\nb\n\n> 2 <A>\na\n\n> 3 <A>\na\n\n",
            lambda b: b.replace_records(
                [("A", "x"), ("B", "y"), ("A", "z"), ("A", "w")], header="padded"
            ),
            "> 2 <A>\nx\n\n> 1 <B>\ny\n\n> 3 <A>\nz\n\n>  <A>\nw\n\n",
        ),
        # mappings are read through items(); appending never scans for malformed headers
        (
            "",
            lambda b: b.replace_records(SimpleNamespace(items=lambda: [("A", "1"), ("A", "2")])),
            "> <A>\n1\n\n> <A>\n2\n\n",
        ),
        (
            "> oops\n\n",
            lambda b: b.append_record("A", "v") or b.replace_records({"B": "b"}),
            "> <B>\nb\n\n",
        ),
    ],
)
def test_edits(sdf, edit, text):
    block = SDBlock(HEAD + sdf + "$$$$\n")
    edit(block)
    assert str(block) == HEAD + text + "$$$$\n"


def test_crlf_block_writes_crlf_around_values_only():
    block = SDBlock(b"t\r\n\r\nM  END\r\n> <A>\r\na\r\n$$$$\r\n")
    block.append_record(b"C", b"x\ny")
    assert bytes(block) == b"t\r\n\r\nM  END\r\n> <A>\r\na\r\n\r\n> <C>\r\nx\ny\r\n\r\n$$$$\r\n"
    block.replace_records({})
    assert bytes(block) == b"t\r\n\r\nM  END\r\n$$$$\r\n"


@pytest.mark.parametrize("edit", ["append", "set", "setitem", "replace"])
@pytest.mark.parametrize("ending", [b"\n", b"\r\n"])
def test_adding_to_an_empty_block_opens_a_title_line(edit, ending):
    block = SDBlock(b"$$$$" + ending)
    assert state(block) == (b"$$$$" + ending, 0, 0, False)
    RECORD_EDITS[edit](block, b"A", b"1")
    text = ending + b"> <A>" + ending + b"1" + ending * 2 + b"$$$$" + ending
    assert state(block) == (text, len(ending), len(ending), False)
    assert block.title == b"" and block.mdl == b"" and block.records() == [(b"A", b"1")]


def test_emptying_an_empty_block_changes_nothing():
    block = SDBlock("$$$$\n")
    block.replace_records(iter(()))
    assert state(block) == (b"$$$$\n", 0, 0, True) and block.remove_record("A") == 0


def test_replace_in_order_then_diverging():
    old = "".join(f"> {i} <N{i % 3}>\nv\n\n" for i in range(9))
    block = SDBlock(HEAD + old + "$$$$\n")
    new = [(f"N{i % 3}", str(i)) for i in range(4)] + [("N2", "a"), ("N0", "b"), ("X", "c")]
    block.replace_records(new)
    headers = [line for line in str(block).splitlines() if line.startswith(">")]
    # in order for 0..3, then the next unused old N2 (5) and N0 (6)
    assert headers == [
        "> 0 <N0>",
        "> 1 <N1>",
        "> 2 <N2>",
        "> 3 <N0>",
        "> 5 <N2>",
        "> 6 <N0>",
        "> <X>",
    ]
    assert block.records() == new


def test_removing_nothing_keeps_the_records_version():
    block = SDBlock(HEAD + "> <A>\n1\n\n$$$$\n")
    before, names = state(block), iter(block)
    assert block.remove_record(name="Z") == 0
    with pytest.raises(KeyError) as raised:
        del block["Z"]
    assert raised.value.args == ("Z",)
    assert state(block) == before and next(names) == "A"


def test_constructor_appends_records_with_the_header_style():
    block = SDBlock(b"t\n\nM  END\n>  <A>  (1)\na\n\n$$$$\n", {b"B": b"b"}, header="copy")
    assert bytes(block).endswith(b">  <B>  (1)\nb\n\n$$$$\n")
    block = SDBlock("t\n\nM  END", [("A", "1"), ("A", "2")], header="padded")
    assert str(block) == "t\n\nM  END\n>  <A>\n1\n\n>  <A>\n2\n\n$$$$\n"


@pytest.mark.parametrize(
    "kind, args, error, message",
    [
        (str, (b"A", "v"), TypeError, "text SDBlock record names must be str"),
        (str, ("A", b"v"), TypeError, "text SDBlock values must be str"),
        (bytes, ("A", b"v"), TypeError, "byte-backed SDBlock record names must be bytes"),
        (bytes, (b"A", "v"), TypeError, "byte-backed SDBlock values must be bytes"),
        (
            str,
            ("A", "v", "fancy"),
            ValueError,
            "header must be 'plain', 'padded', or 'copy', not 'fancy'",
        ),
        (str, ("A", "v", b"plain"), TypeError, ""),
        # header first, then the name, then the value
        (str, (1, 2, "fancy"), ValueError, "header must be"),
        (str, (1, 2), TypeError, "text SDBlock record names must be str"),
    ],
)
@pytest.mark.parametrize(
    "method", ["append_record", "set_record", "replace_records", "constructor"]
)
def test_argument_checks_change_nothing(kind, args, error, message, method):
    text = HEAD + "> <A>\n1\n\n$$$$\n"
    source = text.encode() if kind is bytes else text
    block = SDBlock(source)
    before, names = state(block), iter(block)
    kwargs = {"header": args[2]} if len(args) > 2 else {}
    with pytest.raises(error, match=f"^{message}"):
        if method == "replace_records":
            good = (b"G", b"g") if kind is bytes else ("G", "g")
            block.replace_records([good, args[:2]], **kwargs)
        elif method == "constructor":
            SDBlock(source, [args[:2]], **kwargs)
        else:
            getattr(block, method)(*args[:2], **kwargs)
    assert state(block) == before and next(names)


@pytest.mark.parametrize(
    "item, error",
    [
        (["A", "v"], TypeError),
        ("Av", TypeError),
        (("A",), ValueError),
        (("A", "v", "x"), ValueError),
    ],
)
def test_replace_refuses_items_that_are_not_pairs(item, error):
    block = SDBlock(HEAD + "> <A>\n1\n\n$$$$\n")
    before = state(block)
    with pytest.raises(error):
        block.replace_records([("B", "b"), item])
    assert state(block) == before


@pytest.mark.parametrize("edit", ["set", "setitem", "remove", "delitem"])
def test_scanning_edits_refuse_malformed_headers(edit):
    block = SDBlock(HEAD + "> <A>\n1\n\n> oops\n\n$$$$\n")
    before = state(block)
    with pytest.raises(MalformedRecordError) as info:
        RECORD_EDITS[edit](block, "A", "v")
    assert str(info.value) == "SD data field header is missing a name"
    assert info.value.__notes__ == ["In the SDBlock titled 't'."]
    assert state(block) == before


def test_records_after_a_ctab_without_m_end_are_kept_across_pickling():
    block = SDBlock("t\nno end line\n$$$$\n")
    block.append_record("A", "1")
    assert block.records() == [("A", "1")]
    assert pickle.loads(pickle.dumps(block)).records() == [("A", "1")]
    assert SDBlock(str(block)).records() == []


# --- model-based: random edits against a list of (name, value) pairs ---------

names = st.text(alphabet="ab <>\t", max_size=4)
# A lone CR inside a line breaks it for a reader with universal newlines, so
# no piece between CRs may be blank or a `$$$$` line either.
value_lines = st.text(alphabet="xy <>\t\r$", min_size=1, max_size=5).filter(
    lambda line: (
        not line.endswith("\r")
        and all(piece.strip() and not piece.startswith("$$$$") for piece in line.split("\r"))
    )
)


# one to three lines joined by LF or CR LF
values = st.lists(st.tuples(value_lines, st.sampled_from(["\n", "\r\n"])), max_size=3).map(
    lambda parts: "".join(line + sep for line, sep in parts[:-1]) + (parts[-1][0] if parts else "")
)
styles = st.sampled_from(["plain", "padded", "copy"])


def read_back(value):
    return value.replace("\r\n", "\n")


class RecordEdits(RuleBasedStateMachine):
    # A few records, or sixteen and more, which the edits reach through the
    # record index they keep up to date instead of rescanning.
    @initialize(
        kind=st.sampled_from([str, bytes]),
        crlf=st.booleans(),
        start=st.one_of(
            st.lists(st.tuples(names, values), max_size=3),
            st.lists(st.tuples(names, values), min_size=16, max_size=24),
        ),
        header=styles,
    )
    def make(self, kind, crlf, start, header):
        self.kind = kind
        head = "title  \n  prog\n\n  0  0  0  0  0  0  0  0  0  0999 V2000\nM  END\n"
        head = head.replace("\n", "\r\n") if crlf else head
        self.block = SDBlock(
            self.cast(head), [(self.cast(n), self.cast(v)) for n, v in start], header=header
        )
        self.model = [(n, read_back(v)) for n, v in start]
        self.molblock = self.block.molblock
        self.terminator = "$$$$\r\n" if crlf and kind is bytes else "$$$$\n"

    def cast(self, text):
        return text if self.kind is str else text.encode()

    @rule(name=names, value=values, header=styles)
    def append(self, name, value, header):
        self.block.append_record(self.cast(name), self.cast(value), header=header)
        self.model.append((name, read_back(value)))

    @rule(name=names, value=values, header=styles, by_item=st.booleans())
    def set(self, name, value, header, by_item):
        if by_item:
            self.block[self.cast(name)] = self.cast(value)
        else:
            self.block.set_record(self.cast(name), self.cast(value), header=header)
        hits = [i for i, (n, _) in enumerate(self.model) if n == name]
        self.model = [pair for i, pair in enumerate(self.model) if i not in hits[1:]]
        if hits:
            self.model[hits[0]] = (name, read_back(value))
        else:
            self.model.append((name, read_back(value)))

    @rule(data=st.data(), by_item=st.booleans())
    def remove(self, data, by_item):
        # item deletion needs a name that is there; remove_record takes any
        known = [n for n, _ in self.model]
        name = data.draw(st.sampled_from(known) if by_item and known else names)
        if by_item and known:
            del self.block[self.cast(name)]
        else:
            assert self.block.remove_record(self.cast(name)) == known.count(name)
        self.model = [pair for pair in self.model if pair[0] != name]

    @rule(
        pairs=st.lists(st.tuples(names, values), max_size=5), header=styles, as_dict=st.booleans()
    )
    def replace(self, pairs, header, as_dict):
        given = [(self.cast(n), self.cast(v)) for n, v in pairs]
        self.block.replace_records(dict(given) if as_dict else given, header=header)
        if as_dict:
            pairs = list(dict(pairs).items())
        self.model = [(n, read_back(v)) for n, v in pairs]

    @invariant()
    def agrees_with_model(self):
        if not hasattr(self, "block"):
            return
        model, block = [(self.cast(n), self.cast(v)) for n, v in self.model], self.block
        assert block.records() == model and block.names() == [n for n, _ in model]
        assert len(block) == len(model) and block.to_dict() == dict(model)
        for name in {n for n, _ in model} | {self.cast("absent")}:
            for _ in range(2):  # the second lookup goes through the record index
                assert block.get(name) == dict(model).get(name)
                assert (name in block) == (name in dict(model))
        assert block.molblock == self.molblock
        # the text read afresh (as bytes: str input would translate lone CRs)
        text = text_of(block)
        assert text.endswith(self.terminator.encode())
        assert SDBlock(text).records() == [(n.encode(), v.encode()) for n, v in self.model]


# Sixteen or more starting values, each drawn through the value filter.
RecordEdits.TestCase.settings = settings(
    max_examples=examples(100),
    stateful_step_count=20,
    deadline=None,
    suppress_health_check=[HealthCheck.filter_too_much, HealthCheck.too_slow],
)
test_record_edits = RecordEdits.TestCase


ONE_LINE = "SDBlock record names must be a single line"
ENDS_BLOCK = "SDBlock values cannot hold a $$$$ line, which would end the block"
ENDS_RECORD = (
    "SDBlock values cannot hold a blank line followed by more text, "
    "which would end the record early"
)


@pytest.mark.parametrize(
    "name, value, message",
    [
        ("A\nB", "v", ONE_LINE),
        ("A\r", "v", ONE_LINE),
        ("A", "ok\n\n$$$$\nINJECTED", ENDS_BLOCK),
        ("A", "$$$$", ENDS_BLOCK),
        ("A", "x\r$$$$ tail", ENDS_BLOCK),
        ("A", "one\n\ntwo", ENDS_RECORD),
        ("A", " \t\nrest", ENDS_RECORD),
        ("A", "one\r\n\r\ntwo", ENDS_RECORD),
    ],
)
@pytest.mark.parametrize("edit", ["append", "set", "setitem", "replace", "constructor"])
@pytest.mark.parametrize("kind", [str, bytes])
def test_records_that_would_not_read_back_are_refused(kind, edit, name, value, message):
    cast = (lambda t: t) if kind is str else str.encode
    block = SDBlock(cast(HEAD + "> <A>\n1\n\n$$$$\n"))
    before = state(block)
    with pytest.raises(ValueError, match=f"^{re.escape(message)}$"):
        if edit == "constructor":
            SDBlock(cast(HEAD + "$$$$\n"), [(cast(name), cast(value))])
        elif edit == "replace":  # every pair is checked before any change
            block.replace_records([(cast("B"), cast("fine")), (cast(name), cast(value))])
        else:
            RECORD_EDITS[edit](block, cast(name), cast(value))
    assert state(block) == before


@pytest.mark.parametrize(
    "value", ["line\ninner line", "trailing\n", "  \n", "", "a\r\nb", "$$$ three"]
)
def test_values_that_read_back_are_accepted(value):
    block = SDBlock(HEAD + "$$$$\n")
    block["A"] = value
    assert SDBlock.from_sdf(str(block) * 2).__next__().get("A") == value.rstrip("\n ").replace(
        "\r\n", "\n"
    )
