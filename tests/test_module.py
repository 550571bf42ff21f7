import importlib.metadata
import os
import subprocess
import sys

import pytest

import molvane
from molvane import native

NAMES = (
    "CTable SDBlock _SDBlockIterator _SDRecordIterator _SDNameIterator "
    "MalformedRecordError parse_sdf write_sdf sdf_writer _SDFWriter _build_table "
    "_build_table_from_path _SDTable SDFile shards __version__ DEBUG_BUILD"
).split()


def test_module_registers_its_names_in_order():
    assert native.__all__ == NAMES
    assert all(hasattr(native, name) for name in native.__all__)
    # One version, pyproject's, reaches the module through the build.
    assert native.__version__ == importlib.metadata.version("molvane")
    # tools/sanitize.sh says so when it runs the suite on its debug build
    assert native.DEBUG_BUILD is (os.environ.get("MOLVANE_SANITIZED") == "1")
    assert native.__doc__ == ""
    assert molvane.SDBlock is native.SDBlock and molvane.__version__ == native.__version__


def test_package_exports_every_public_native_name():
    public = [name for name in native.__all__ if not name.startswith("_") and name != "__version__"]
    assert set(public) <= set(molvane.__all__)
    assert all(getattr(molvane, name) is getattr(native, name) for name in public)
    assert all(hasattr(molvane, name) for name in molvane.__all__)


def test_exception_classes():
    err = native.MalformedRecordError
    assert (err.__module__, err.__name__) == ("molvane", "MalformedRecordError")
    assert err.__bases__ == (ValueError,)
    assert molvane.MalformedRecordError is err and issubclass(molvane.CTableError, ValueError)
    for name in [
        "MalformedCTableError",
        "IndicesDuplicateError",
        "IndicesMismatchError",
        "IndicesOutOfOrderError",
    ]:
        cls = getattr(molvane.ctable, name)
        assert issubclass(cls, molvane.CTableError) and cls("message").args == ("message",)


def run_python(script):
    run = subprocess.run([sys.executable, "-c", script], capture_output=True, text=True, timeout=60)
    assert run.returncode == 0, run.stderr
    return run.stdout.splitlines()


def test_missing_ctable_module_fails_only_when_raising():
    first, second = run_python("""
import sys
from molvane import native
sys.modules["molvane.ctable"] = None
try:
    native.CTable([])
except BaseException as error:
    assert not isinstance(error, ValueError), error
    print(error)
del sys.modules["molvane.ctable"]
try:
    native.CTable([])
except ValueError as error:
    print(type(error).__name__)
""")
    assert first.startswith("failed to import exception molvane.ctable.MalformedCTableError: ")
    assert "molvane.ctable" in first.partition(": ")[2]
    assert second == "MalformedCTableError"


RACE = r"""
import sys, threading, time, types
import molvane.ctable as real

fetches = []

class SlowModule(types.ModuleType):
    def __getattr__(self, name):
        fetches.append(name)
        time.sleep(0.05)  # let the other threads reach the same fetch
        return getattr(real, name)

sys.modules["molvane.ctable"] = SlowModule("molvane.ctable")
from molvane import native

raised = []
def work():
    try:
        native.CTable([])
    except Exception as error:
        raised.append(type(error))

threads = [threading.Thread(target=work) for _ in range(6)]
for t in threads: t.start()
for t in threads: t.join()
print(len(fetches), len(raised), len(set(raised)), raised[0] is real.MalformedCTableError)
"""


def test_imported_exception_is_fetched_once_across_threads():
    # A fresh process: the class must not have been fetched yet.
    assert run_python(RACE)[0].split() == ["1", "6", "1", "True"]


@pytest.mark.parametrize(
    "name, signature",
    [
        ("SDBlock", '(sdf, records=None, *, header="plain")'),
        ("CTable", "(lines)"),
        ("SDFile", "(path, *, index=None)"),
        ("_SDBlockIterator", None),
        ("_SDRecordIterator", None),
        ("_SDNameIterator", None),
        ("_SDFWriter", None),
    ],
)
def test_class_traits(name, signature):
    cls = getattr(native, name)
    assert (cls.__module__, cls.__qualname__) == ("molvane.native", name)
    assert cls.__text_signature__ == signature
    if signature is None:
        with pytest.raises(TypeError):
            cls()
    with pytest.raises(TypeError):
        type("Sub", (cls,), {})


@pytest.mark.parametrize(
    "owner, name, signature",
    [
        (native, "parse_sdf", "(source, *, borrow=False, start=0, stop=None)"),
        (native, "write_sdf", "(dest, blocks, *, compresslevel=None, bgzf=False)"),
        (native, "shards", "(path, n=None, size=None)"),
        (native, "sdf_writer", "(dest, *, compresslevel=None, bgzf=False)"),
        (native.SDBlock, "iter_records", "($self)"),
        (native.CTable, "valid_atom_indices", "($self, strict=False)"),
        (native.CTable, "valid_bond_indices", "($self, strict=False)"),
        (native.CTable, "renumber_indices", "($self)"),
        (native.CTable, "fix_counts", "($self)"),
    ],
)
def test_signatures(owner, name, signature):
    assert getattr(owner, name).__text_signature__ == signature


TYPES = "SDBlock CTable _SDBlockIterator _SDRecordIterator _SDNameIterator _SDFWriter".split()


@pytest.mark.parametrize("name", TYPES)
@pytest.mark.parametrize(
    "change",
    [
        lambda cls: setattr(cls, "get", lambda self: None),
        lambda cls: setattr(cls, "__repr__", lambda self: "patched"),
        lambda cls: delattr(cls, "__doc__"),
    ],
)
def test_types_are_immutable(name, change):
    cls = getattr(native, name)
    before = dict(vars(cls))
    with pytest.raises(TypeError, match="immutable type"):
        change(cls)
    assert dict(vars(cls)) == before


SECOND_MODULE = r"""
import importlib.util
import molvane.ctable
from molvane import native

spec = importlib.util.spec_from_file_location("molvane.native", native.__file__)
second = importlib.util.module_from_spec(spec)
spec.loader.exec_module(second)
names = ["SDBlock", "CTable", "_SDBlockIterator", "_SDRecordIterator", "_SDNameIterator",
         "_SDFWriter", "MalformedRecordError"]
print(sum(getattr(second, n) is getattr(native, n) for n in names))

sdf = "t\n\n\n  0  0  0  0  0  0  0  0  0  0999 V2000\nM  END\n> x\n\n$$$$\n"
for module in (native, second):
    block = next(module.SDBlock.from_sdf(sdf))
    copy = block.__copy__()
    try:
        block.names()
    except Exception as error:
        raised = type(error)
    try:
        module.CTable([])
    except Exception as error:
        table_error = type(error)
    print(type(block) is module.SDBlock, type(copy) is module.SDBlock,
          type(block.ctable()) is module.CTable, type(block.iter_records()) is module._SDRecordIterator,
          raised is module.MalformedRecordError, table_error is molvane.ctable.MalformedCTableError)
"""


def test_each_module_object_has_its_own_state():
    shared, *modules = run_python(SECOND_MODULE)
    assert shared == "0"
    assert modules == ["True True True True True True"] * 2
