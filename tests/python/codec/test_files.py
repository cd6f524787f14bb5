"""save and load: exact contents, the system's messages, and no good file ever lost."""

import os
import stat
import subprocess
import sys
import tempfile
import textwrap

import pytest

from velt import (
    BloomFilter,
    CountingBloomFilter,
    CountMinSketch,
    CuckooFilter,
    HyperLogLog,
    MinHash,
    ScalableBloomFilter,
    TopK,
)


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


# ---- Every class: file faults -------------------------------------------------------

# A small and a large (over 64 KiB) object of each class, and the prefix of a
# failure to open a file: HyperLogLog and CuckooFilter read files whole, so every
# failure of theirs is a read error; the others tell opening apart from reading.
def large_topk():
    tracker = TopK(k=1000)
    tracker.update([f"{i:0100}" for i in range(1000)])
    return tracker


EVERY_CLASS = {
    BloomFilter: (
        lambda: BloomFilter(expected_items=100),
        lambda: BloomFilter(expected_items=200_000),
        "Cannot open file: ",
    ),
    CountingBloomFilter: (
        lambda: CountingBloomFilter(expected_items=100),
        lambda: CountingBloomFilter(expected_items=20_000),
        "Cannot open file: ",
    ),
    ScalableBloomFilter: (
        lambda: ScalableBloomFilter(initial_capacity=100),
        lambda: ScalableBloomFilter(initial_capacity=200_000),
        "Cannot open file: ",
    ),
    CuckooFilter: (lambda: CuckooFilter(capacity=100), lambda: CuckooFilter(capacity=100_000), "Read error: "),
    HyperLogLog: (lambda: HyperLogLog(precision=8), lambda: HyperLogLog(precision=18), "Read error: "),
    CountMinSketch: (
        lambda: CountMinSketch(width=100, depth=2),
        lambda: CountMinSketch(width=20_000, depth=2),
        "Cannot open file: ",
    ),
    MinHash: (lambda: MinHash(num_hashes=100), lambda: MinHash(num_hashes=30_000), "Cannot open file: "),
    TopK: (lambda: TopK(k=3), large_topk, "Cannot open file: "),
}
every_class = pytest.mark.parametrize("cls", list(EVERY_CLASS), ids=lambda cls: cls.__name__)


def small(cls):
    return EVERY_CLASS[cls][0]()


def large(cls):
    return EVERY_CLASS[cls][1]()


@every_class
@pytest.mark.parametrize("keep", [0, 20, 21, -1])
def test_load_of_a_truncated_file(tmp_path, cls, keep):
    data = small(cls).to_bytes()
    path = tmp_path / "cut.bin"
    path.write_bytes(data[:keep])
    expected = "invalid Velt binary format" if len(data[:keep]) < 21 else "binary payload length does not match header"
    with pytest.raises(ValueError) as error:
        cls.load(str(path))
    assert str(error.value) == expected


@every_class
def test_load_of_a_directory_is_a_read_error(tmp_path, cls):
    with pytest.raises(ValueError) as error:
        cls.load(str(tmp_path))
    assert str(error.value) == "Read error: Is a directory (os error 21)"


@every_class
def test_load_of_an_unreadable_file(cls):
    """Root reads any file, so a root run loads as an unprivileged user in a child process."""
    # A directory of its own under /tmp, so that the unprivileged user can reach the file.
    with tempfile.TemporaryDirectory() as directory:
        os.chmod(directory, 0o711)
        path = os.path.join(directory, "secret.bin")
        small(cls).save(path)
        os.chmod(path, 0)
        script = textwrap.dedent(
            f"""
            import os
            from velt import {cls.__name__}
            if os.getuid() == 0:
                os.setgid(65534)
                os.setuid(65534)
            try:
                {cls.__name__}.load({path!r})
            except ValueError as error:
                print(error)
            """
        )
        result = subprocess.run([sys.executable, "-c", script], capture_output=True, text=True, check=True)
    assert result.stdout.strip() == EVERY_CLASS[cls][2] + "Permission denied (os error 13)"


@pytest.fixture
def small_disk(tmp_path):
    """A 64 KiB file system, mounted for the test (needs the right to mount)."""
    mount_point = tmp_path / "disk"
    mount_point.mkdir()
    if os.getuid() != 0:
        pytest.skip("mounting a small tmpfs needs root")
    mounted = subprocess.run(["mount", "-t", "tmpfs", "-o", "size=64k", "tmpfs", str(mount_point)], capture_output=True)
    if mounted.returncode != 0:
        pytest.skip(f"mounting a small tmpfs is not permitted here: {mounted.stderr.decode().strip()}")
    yield mount_point
    subprocess.run(["umount", str(mount_point)], check=True)


@every_class
def test_full_disk_keeps_the_old_file(small_disk, cls):
    path = small_disk / "kept.bin"
    old = small(cls)
    old.save(str(path))
    big = large(cls)
    assert len(big.to_bytes()) > 64 * 1024
    with pytest.raises(ValueError) as error:
        big.save(str(path))
    assert str(error.value) == "Write error: No space left on device (os error 28)"
    assert cls.load(str(path)).to_bytes() == old.to_bytes()
    assert os.listdir(small_disk) == ["kept.bin"]


@pytest.mark.skipif("asan" in os.environ.get("LD_PRELOAD", ""), reason="ASan needs an uncapped address space")
@pytest.mark.skipif(not os.path.exists("/dev/zero"), reason="needs /dev/zero")
def test_load_of_an_endless_file_runs_out_of_memory_cleanly():
    """Reading to the end never ends: it must stop at the memory cap with MemoryError."""
    script = textwrap.dedent(
        """
        import resource
        from velt import BloomFilter
        resource.setrlimit(resource.RLIMIT_AS, (1 << 30, 1 << 30))
        try:
            BloomFilter.load("/dev/zero")
        except MemoryError:
            print("MemoryError")
        """
    )
    result = subprocess.run([sys.executable, "-c", script], capture_output=True, text=True, timeout=120)
    assert (result.returncode, result.stdout.strip()) == (0, "MemoryError")
