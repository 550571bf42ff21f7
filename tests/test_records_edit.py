"""Record editing: placement, header styles, line endings, checks before changes."""

import pytest
from hypothesis import settings
from hypothesis import strategies as st
from hypothesis.stateful import RuleBasedStateMachine, initialize, invariant, precondition, rule

from molvane.native import MalformedRecordError, SDBlock

HEAD = "t\n\nM  END\n"


def state(block):
    """Text, title_end and mdl_end: what a refused edit must leave alone."""
    return block.__reduce__()[1]


def text_of(block):
    return str(block) if isinstance(block.title, str) else bytes(block)


@pytest.mark.parametrize(
    "sd, after",
    [
        ("", "> <C>\nc\n\n"),
        ("> <A>\na\n", "> <A>\na\n\n> <C>\nc\n\n"),
        ("> <A>\na\n\n", "> <A>\na\n\n> <C>\nc\n\n"),
        ("> <A>\na\n  \n", "> <A>\na\n  \n> <C>\nc\n\n"),
    ],
)
def test_append_places_the_record_last_after_a_blank_line(sd, after):
    block = SDBlock(HEAD + sd + "$$$$\n")
    block.append_record("C", "c")
    assert str(block) == HEAD + after + "$$$$\n"


@pytest.mark.parametrize(
    "sd, header, written",
    [
        ("", "plain", "> <C>"),
        ("", "padded", ">  <C>"),
        (">  <A>  (1)\na\n\n", "copy", ">  <C>  (1)"),
        ("  > 12 <A> x \na\n\n", "copy", "  > 12 <C> x "),
        ("", "copy", "> <C>"),
        ("stray\n>  <S>\n\n", "copy", "> <C>"),
    ],
)
def test_header_styles(sd, header, written):
    block = SDBlock(HEAD + sd + "$$$$\n")
    block.append_record("C", "c", header=header)
    assert str(block).endswith(f"{written}\nc\n\n$$$$\n")
    assert block.records()[-1] == ("C", "c")


def test_copy_passes_over_headers_without_a_name():
    # append and replace never raise for them; they are not templates either
    block = SDBlock(HEAD + "> nameless\nx\n\n> (7) <A> [x]\na\n\n$$$$\n")
    block.append_record("C", "c", header="copy")
    assert str(block).endswith("> (7) <C> [x]\nc\n\n$$$$\n")
    block.replace_records([("A", "1"), ("D", "2")], header="copy")
    assert str(block) == HEAD + "> (7) <A> [x]\n1\n\n> (7) <D> [x]\n2\n\n$$$$\n"


def test_crlf_block_writes_crlf_around_values_only():
    block = SDBlock(b"t\r\n\r\nM  END\r\n> <A>\r\na\r\n$$$$\r\n")
    block.append_record(b"C", b"x\ny")
    assert bytes(block) == b"t\r\n\r\nM  END\r\n> <A>\r\na\r\n\r\n> <C>\r\nx\ny\r\n\r\n$$$$\r\n"
    block[b"A"] = b"1\r\n2"
    assert block.records() == [(b"A", b"1\n2"), (b"C", b"x\ny")]


def test_empty_value_is_two_empty_lines():
    block = SDBlock(HEAD + "$$$$\n")
    block.append_record("E", "")
    assert str(block) == HEAD + "> <E>\n\n\n$$$$\n"
    assert block.records() == [("E", "")]


@pytest.mark.parametrize("terminator, ending", [(b"$$$$\n", b"\n"), (b"$$$$\r\n", b"\r\n")])
def test_adding_to_an_empty_block_opens_a_title_line(terminator, ending):
    block = SDBlock(terminator)
    assert state(block) == (terminator, 0, 0, False)
    block.append_record(b"A", b"1")
    assert state(block) == (
        ending + b"> <A>" + ending + b"1" + ending * 2 + terminator,
        len(ending),
        len(ending),
        False,
    )
    assert block.title == b"" and block.mdl == b"" and block.records() == [(b"A", b"1")]


@pytest.mark.parametrize(
    "edit",
    [
        lambda b: b.set_record("A", "1"),
        lambda b: b.__setitem__("A", "1"),
        lambda b: b.replace_records([("A", "1")]),
    ],
)
def test_other_edits_open_an_empty_block_too(edit):
    block = SDBlock("$$$$\n")
    edit(block)
    assert str(block) == "\n> <A>\n1\n\n$$$$\n"


def test_emptying_an_empty_block_changes_nothing():
    block = SDBlock("$$$$\n")
    block.replace_records([])
    assert state(block) == ("$$$$\n".encode(), 0, 0, True)
    assert block.remove_record("A") == 0


def test_set_record_keeps_first_header_and_place():
    block = SDBlock(HEAD + ">  <A>  (1)\n1\n\n> <B>\nb\n\n> <A>\n2\n\n> <A>\n3\n$$$$\n")
    block.set_record("A", "new\nvalue")
    assert str(block) == HEAD + ">  <A>  (1)\nnew\nvalue\n\n> <B>\nb\n\n$$$$\n"
    block.set_record("Z", "z", header="padded")
    assert str(block).endswith("> <B>\nb\n\n>  <Z>\nz\n\n$$$$\n")


def test_remove_record_counts_and_keeps_the_rest():
    block = SDBlock(HEAD + "> <A>\n1\n\nstray\n\n> <B>\nb\n\n> <A>\n2\n$$$$\n")
    assert block.remove_record("A") == 2
    assert str(block) == HEAD + "stray\n\n> <B>\nb\n\n$$$$\n"
    names = iter(block)
    assert block.remove_record(name="A") == 0
    assert next(names) == "B"  # nothing removed: the version stays


def test_del_missing_name_raises_key_error_and_changes_nothing():
    block = SDBlock(HEAD + "> <A>\n1\n\n$$$$\n")
    before, names = state(block), iter(block)
    with pytest.raises(KeyError) as raised:
        del block["Z"]
    assert raised.value.args == ("Z",)
    assert state(block) == before and next(names) == "A"
    del block["A"]
    assert block.records() == []


def test_replace_reuses_the_kth_old_header_per_name():
    block = SDBlock(HEAD + "> 1 <B>\nb\n\n> 2 <A>\na\n\n> 3 <A>\na\n\n$$$$\n")
    block.replace_records([("A", "x"), ("B", "y"), ("A", "z"), ("A", "w")], header="padded")
    assert str(block) == (
        HEAD + "> 2 <A>\nx\n\n> 1 <B>\ny\n\n> 3 <A>\nz\n\n>  <A>\nw\n\n$$$$\n"
    )


def test_replace_in_order_then_diverging():
    old = "".join(f"> {i} <N{i % 3}>\nv\n\n" for i in range(9))
    block = SDBlock(HEAD + old + "$$$$\n")
    new = [(f"N{i % 3}", str(i)) for i in range(4)] + [("N2", "a"), ("N0", "b"), ("X", "c")]
    block.replace_records(new)
    headers = [line for line in str(block).splitlines() if line.startswith(">")]
    # in order for 0..3, then the next unused old N2 (5) and N0 (6)
    assert headers == ["> 0 <N0>", "> 1 <N1>", "> 2 <N2>", "> 3 <N0>", "> 5 <N2>", "> 6 <N0>", "> <X>"]
    assert block.records() == new


@pytest.mark.parametrize("records", [{}, [], iter(())])
def test_replace_with_nothing_keeps_title_ctab_terminator(records):
    block = SDBlock(b"t\r\n\r\nM  END\r\n> <A>\r\n1\r\n\r\njunk\r\n$$$$\r\n")
    block.replace_records(records)
    assert bytes(block) == b"t\r\n\r\nM  END\r\n$$$$\r\n"


def test_replace_reads_mappings_through_items():
    class Pairs:
        def items(self):
            return [("A", "1"), ("A", "2")]

    block = SDBlock(HEAD + "$$$$\n")
    block.replace_records(Pairs())
    assert block.records() == [("A", "1"), ("A", "2")]
    block.replace_records({"B": "b"})
    assert block.records() == [("B", "b")]


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
        (str, ("A", "v", "fancy"), ValueError, "header must be 'plain', 'padded', or 'copy', not 'fancy'"),
        # header first, then the name, then the value
        (str, (1, 2, "fancy"), ValueError, "header must be"),
        (str, (1, 2), TypeError, "text SDBlock record names must be str"),
    ],
)
@pytest.mark.parametrize("method", ["append_record", "set_record", "replace_records", "constructor"])
def test_argument_checks_change_nothing(kind, args, error, message, method):
    block = SDBlock(HEAD.encode() + b"> <A>\n1\n\n$$$$\n" if kind is bytes else HEAD + "> <A>\n1\n\n$$$$\n")
    before, names = state(block), iter(block)
    kwargs = {"header": args[2]} if len(args) > 2 else {}
    with pytest.raises(error, match=f"^{message}"):
        if method == "replace_records":
            good = (b"G", b"g") if kind is bytes else ("G", "g")
            block.replace_records([good, args[:2]], **kwargs)
        elif method == "constructor":
            SDBlock(text_of(block), [args[:2]], **kwargs)
        else:
            getattr(block, method)(*args[:2], **kwargs)
    assert state(block) == before and next(names)


def test_header_must_be_a_str():
    with pytest.raises(TypeError):
        SDBlock(HEAD + "$$$$\n").append_record("A", "v", header=b"plain")


@pytest.mark.parametrize(
    "item, error",
    [(["A", "v"], TypeError), ("Av", TypeError), (("A",), ValueError), (("A", "v", "x"), ValueError)],
)
def test_replace_refuses_items_that_are_not_pairs(item, error):
    block = SDBlock(HEAD + "> <A>\n1\n\n$$$$\n")
    before = state(block)
    with pytest.raises(error):
        block.replace_records([("B", "b"), item])
    assert state(block) == before


def test_replace_propagates_iteration_errors_before_changing():
    def pairs():
        yield "B", "b"
        raise LookupError("boom")

    block = SDBlock(HEAD + "> <A>\n1\n\n$$$$\n")
    before = state(block)
    with pytest.raises(LookupError, match="boom"):
        block.replace_records(pairs())
    assert state(block) == before


def test_replace_holds_the_block_while_reading_records():
    block = SDBlock(HEAD + "> <A>\n1\n\n$$$$\n")

    def pairs():
        block.records()
        yield "B", "b"

    with pytest.raises(RuntimeError, match="^Already mutably borrowed$"):
        block.replace_records(pairs())
    assert block.records() == [("A", "1")]


MALFORMED_EDITS = [
    lambda b: b.set_record("A", "v"),
    lambda b: b.remove_record("A"),
    lambda b: b.__setitem__("A", "v"),
    lambda b: b.__delitem__("A"),
]


@pytest.mark.parametrize("edit", MALFORMED_EDITS)
def test_scanning_edits_refuse_malformed_headers(edit):
    block = SDBlock(HEAD + "> <A>\n1\n\n> oops\n\n$$$$\n")
    before = state(block)
    with pytest.raises(MalformedRecordError, match="^SD data field header is missing a name$"):
        edit(block)
    assert state(block) == before


@pytest.mark.parametrize(
    "edit",
    [
        lambda b: b.set_record(b"A", b"v"),
        lambda b: b.remove_record(b"A"),
        lambda b: b.__setitem__(b"A", b"v"),
        lambda b: b.__delitem__(b"A"),
    ],
)
def test_export_check_comes_before_the_malformed_check(edit):
    block = SDBlock(HEAD.encode() + b"> oops\n\n$$$$\n")
    with memoryview(block):
        with pytest.raises(BufferError, match="^Existing exports of data: SDBlock cannot be edited$"):
            edit(block)


def test_value_type_is_checked_before_exports():
    block = SDBlock(HEAD.encode() + b"$$$$\n")
    with memoryview(block):
        with pytest.raises(TypeError):
            block.append_record(b"A", "v")


def test_appending_never_raises_malformed():
    block = SDBlock(HEAD + "> oops\n\n$$$$\n")
    block.append_record("A", "v")
    block.replace_records({"B": "b"})
    assert block.records() == [("B", "b")]


def test_records_after_a_ctab_without_m_end_are_kept_across_pickling():
    import pickle

    block = SDBlock("t\nno end line\n$$$$\n")
    block.append_record("A", "1")
    assert block.records() == [("A", "1")]
    assert pickle.loads(pickle.dumps(block)).records() == [("A", "1")]
    assert SDBlock(str(block)).records() == []


# --- model-based: random edits against a list of (name, value) pairs ---------

names = st.text(alphabet="ab <>\t", max_size=4)
value_lines = st.text(alphabet="xy <>\t\r$", min_size=1, max_size=5).filter(
    lambda line: line.strip() and not line.endswith("\r") and not line.startswith("$$$$")
)


def join_lines(lines, separators):
    return "".join(line + sep for line, sep in zip(lines, separators))[: -len(separators[len(lines) - 1])] if lines else ""


values = st.builds(
    join_lines,
    st.lists(value_lines, max_size=3),
    st.lists(st.sampled_from(["\n", "\r\n"]), min_size=3, max_size=3),
)
styles = st.sampled_from(["plain", "padded", "copy"])


def read_back(value):
    return value.replace("\r\n", "\n")


class RecordEdits(RuleBasedStateMachine):
    @initialize(
        kind=st.sampled_from([str, bytes]),
        crlf=st.booleans(),
        start=st.lists(st.tuples(names, values), max_size=3),
        header=styles,
    )
    def make(self, kind, crlf, start, header):
        self.kind = kind
        self.model = []
        head = "title  \n  prog\n\n  0  0  0  0  0  0  0  0  0  0999 V2000\nM  END\n"
        if crlf:
            head = head.replace("\n", "\r\n")
        self.block = SDBlock(self.cast(head), [(self.cast(n), self.cast(v)) for n, v in start], header=header)
        self.model = [(n, read_back(v)) for n, v in start]
        self.molblock = self.block.molblock
        self.terminator = "$$$$\r\n" if crlf and kind is bytes else "$$$$\n"

    def cast(self, text):
        return text if self.kind is str else text.encode()

    @rule(name=names, value=values, header=styles)
    def append(self, name, value, header):
        self.block.append_record(self.cast(name), self.cast(value), header=header)
        self.model.append((name, read_back(value)))

    def set_model(self, name, value):
        hits = [i for i, (n, _) in enumerate(self.model) if n == name]
        if not hits:
            self.model.append((name, read_back(value)))
            return
        self.model[hits[0]] = (name, read_back(value))
        self.model = [pair for i, pair in enumerate(self.model) if i not in hits[1:]]

    @rule(name=names, value=values, header=styles)
    def set(self, name, value, header):
        self.block.set_record(self.cast(name), self.cast(value), header=header)
        self.set_model(name, value)

    @rule(name=names, value=values)
    def setitem(self, name, value):
        self.block[self.cast(name)] = self.cast(value)
        self.set_model(name, value)

    @rule(name=names)
    def remove(self, name):
        expected = sum(n == name for n, _ in self.model)
        assert self.block.remove_record(self.cast(name)) == expected
        self.model = [pair for pair in self.model if pair[0] != name]

    @precondition(lambda self: self.model)
    @rule(data=st.data())
    def delitem(self, data):
        name = data.draw(st.sampled_from([n for n, _ in self.model]))
        del self.block[self.cast(name)]
        self.model = [pair for pair in self.model if pair[0] != name]

    @rule(pairs=st.lists(st.tuples(names, values), max_size=5), header=styles, as_dict=st.booleans())
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
        model = [(self.cast(n), self.cast(v)) for n, v in self.model]
        block = self.block
        assert block.records() == model
        assert block.names() == [n for n, _ in model]
        assert len(block) == len(model)
        assert block.to_dict() == dict(model)
        for name in {n for n, _ in model} | {self.cast("absent")}:
            for _ in range(2):  # the second lookup goes through the record index
                assert block.get(name) == dict(model).get(name)
                assert (name in block) == (name in dict(model))
        assert block.molblock == self.molblock
        assert text_of(block).endswith(self.cast(self.terminator))
        # the text read afresh (as bytes: str input would translate lone CRs)
        text = text_of(block)
        if self.kind is str:
            text, model = text.encode(), [(n.encode(), v.encode()) for n, v in model]
        assert SDBlock(text).records() == model


RecordEdits.TestCase.settings = settings(max_examples=60, stateful_step_count=20, deadline=None)
test_record_edits = RecordEdits.TestCase
