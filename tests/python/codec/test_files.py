"""save and load: exact contents, the system's messages, and no good file ever lost."""

import os
import stat
import subprocess
import sys
import textwrap

import pytest

from velt import BloomFilter


def test_save_then_load_is_byte_exact(filled_bloom, tmp_path):
    path = str(tmp_path / "filter.bin")
    filled_bloom.save(path)
    with open(path, "rb") as handle:
        assert handle.read() == filled_bloom.to_bytes()
    assert BloomFilter.load(path).to_bytes() == filled_bloom.to_bytes()


@pytest.mark.parametrize(
    "target, operation, message",
    [
        ("missing.bin", "load", "Cannot open file: No such file or directory (os error 2)"),
        ("no/such/dir/f.bin", "save", "Cannot create file: No such file or directory (os error 2)"),
        (".", "load", "Read error: Is a directory (os error 21)"),
        (".", "save", "Cannot create file: Is a directory (os error 21)"),
    ],
)
def test_file_errors(tmp_path, target, operation, message):
    path = str(tmp_path / target)
    with pytest.raises(ValueError) as error:
        if operation == "load":
            BloomFilter.load(path)
        else:
            BloomFilter(num_bits=64).save(path)
    assert str(error.value) == message


def test_load_of_a_damaged_file_gives_the_envelope_message(tmp_path):
    path = tmp_path / "f.bin"
    path.write_bytes(b"VTBF")
    with pytest.raises(ValueError, match="^invalid Velt binary format$"):
        BloomFilter.load(str(path))


def test_new_file_gets_default_permissions(tmp_path):
    path = tmp_path / "new.bin"
    BloomFilter(num_bits=64).save(str(path))
    umask = os.umask(0)
    os.umask(umask)
    assert stat.S_IMODE(path.stat().st_mode) == 0o666 & ~umask


def test_overwrite_keeps_permissions_and_leaves_no_temporary_files(tmp_path):
    path = tmp_path / "f.bin"
    path.write_bytes(b"old")
    path.chmod(0o640)
    BloomFilter(num_bits=64).save(str(path))
    assert stat.S_IMODE(path.stat().st_mode) == 0o640
    assert os.listdir(tmp_path) == ["f.bin"]
    assert BloomFilter.load(str(path)).num_bits == 64


def test_save_writes_through_a_symlink(tmp_path):
    target = tmp_path / "real.bin"
    target.write_bytes(b"old")
    link = tmp_path / "link.bin"
    link.symlink_to(target)
    bloom = BloomFilter(num_bits=128, num_hashes=2)
    bloom.save(str(link))
    assert link.is_symlink()
    assert target.read_bytes() == bloom.to_bytes()


@pytest.mark.skipif(not os.path.exists("/dev/full"), reason="needs /dev/full")
def test_write_failure_on_a_device_is_a_write_error():
    with pytest.raises(ValueError) as error:
        BloomFilter(num_bits=64).save("/dev/full")
    assert str(error.value) == "Write error: No space left on device (os error 28)"


def test_failed_write_leaves_the_old_file_intact(tmp_path):
    """A file-size limit makes the write fail part way; the old file must survive."""
    path = tmp_path / "f.bin"
    old = BloomFilter(num_bits=64)
    old.save(str(path))
    script = textwrap.dedent(
        f"""
        import resource, signal
        from velt import BloomFilter
        signal.signal(signal.SIGXFSZ, signal.SIG_IGN)
        resource.setrlimit(resource.RLIMIT_FSIZE, (4096, 4096))
        try:
            BloomFilter(num_bits=1_000_000).save({str(path)!r})
        except ValueError as error:
            print(error)
        """
    )
    result = subprocess.run([sys.executable, "-c", script], capture_output=True, text=True, check=True)
    assert result.stdout.strip() == "Write error: File too large (os error 27)"
    assert path.read_bytes() == old.to_bytes()
    assert os.listdir(tmp_path) == ["f.bin"]
