"""What the type stubs promise users, checked by mypy --strict on code a user writes."""

import textwrap

import pytest

USER_CODE = textwrap.dedent(
    """
    from typing import Any, assert_type

    import molvane
    import molvane.dask


    def advance(done: int) -> None: ...


    # A progress bar fed from a path's reader, as the reading guide shows it.
    blocks = molvane.parse_sdf("examples/molecules.sdf")
    for block in blocks:
        advance(blocks.position)
    assert_type(blocks.size, int | None)
    assert_type(molvane.parse_sdf(open("x.sdf", "rb")).position, int | None)

    assert_type(molvane.dask.to_sdf(None, "part-*.sdf"), list[str])
    assert_type(molvane.dask.to_sdf(None, b"part-*.sdf"), list[bytes])
    for made in molvane.from_table(None):
        assert_type(made, molvane.SDBlock[Any])
    """
)


def test_the_stubs_type_what_users_write(tmp_path):
    api = pytest.importorskip("mypy.api")
    script = tmp_path / "user.py"
    script.write_text(USER_CODE)
    out, err, status = api.run(["--strict", "--no-incremental", str(script)])
    assert status == 0, out + err
