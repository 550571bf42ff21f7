from conftest import DATA

from molvane.__main__ import main


def test_summary_counts_blocks_and_record_names(capsys):
    assert main(["--top", "1", str(DATA / "two_blocks.sdf"), str(DATA / "crlf.sdf")]) == 0
    lines = capsys.readouterr().out.splitlines()
    assert lines[0].endswith("two_blocks.sdf: 2 blocks, 2 with SD data records")
    assert lines[1].split() == ["2", "ID"]
    assert lines[2] == "  ... and 1 more record names"
    assert lines[3].endswith("crlf.sdf: 1 blocks, 1 with SD data records")


def test_summary_reads_compressed_files(tmp_path, capsys):
    import gzip

    packed = tmp_path / "two_blocks.sdf.gz"
    packed.write_bytes(gzip.compress((DATA / "two_blocks.sdf").read_bytes()))
    assert main([str(packed)]) == 0
    assert capsys.readouterr().out.splitlines()[0].endswith("two_blocks.sdf.gz: 2 blocks, 2 with SD data records")
