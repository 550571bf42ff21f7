import pytest

import molvane
from molvane import native

EXPECTED_ORDER = [
    "CTable",
    "SDBlock",
    "_SDBlockIterator",
    "_SDRecordIterator",
    "_SDNameIterator",
    "MalformedRecordError",
    "parse_sdf",
    "write_sdf",
    "sdf_writer",
    "_SDFWriter",
    "__version__",
    "DEBUG_BUILD",
]


def test_all_lists_registered_names_in_fixed_order():
    # Names register in one fixed order; later subsystems slot into their places.
    registered = [name for name in EXPECTED_ORDER if name in native.__all__]
    assert native.__all__ == registered
    assert {"SDBlock", "MalformedRecordError", "__version__", "DEBUG_BUILD"} <= set(native.__all__)
    for name in native.__all__:
        assert hasattr(native, name)


def test_module_attributes():
    assert native.__version__ == "1.0.0"
    assert native.DEBUG_BUILD is False
    assert native.__doc__ == ""


def test_malformed_record_error_identity():
    err = native.MalformedRecordError
    assert err.__module__ == "molvane"
    assert err.__name__ == "MalformedRecordError"
    assert issubclass(err, ValueError)
    assert err.__doc__ == "An SD data header line has no `<name>`."
    assert molvane.MalformedRecordError is err


def test_package_reexports_and_ctable_errors():
    assert molvane.SDBlock is native.SDBlock
    assert molvane.__version__ == native.__version__
    for name in [
        "MalformedCTableError",
        "IndicesDuplicateError",
        "IndicesMismatchError",
        "IndicesOutOfOrderError",
    ]:
        cls = getattr(molvane.ctable, name)
        assert issubclass(cls, molvane.CTableError)
        assert cls("message").args == ("message",)
    assert issubclass(molvane.CTableError, ValueError)


def test_sdblock_class_traits():
    block_type = native.SDBlock
    assert block_type.__module__ == "molvane.native"
    assert block_type.__qualname__ == "SDBlock"
    assert block_type.__doc__.startswith("Handle a single molecule block from an SD file.")
    assert block_type.__text_signature__ == '(sdf, records=None, *, header="plain")'
    with pytest.raises(TypeError):

        class Sub(block_type):  # noqa: F841
            pass
