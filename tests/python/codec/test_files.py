"""save and load: exact contents, the system's messages, and no good file ever lost."""

import os
import stat
import subprocess
import sys
import textwrap

import pytest

from velt import BloomFilter, TopK
from helpers import every_kind, raises


@pytest.mark.skipif(sys.platform == "win32", reason="POSIX permission bits and symlinks")
def test_save_keeps_permissions_follows_symlinks_and_leaves_no_temporary_file(tmp_path):
    new, old, link = tmp_path / "new.bin", tmp_path / "old.bin", tmp_path / "link.bin"
    bloom = BloomFilter(num_bits=128, num_hashes=2)
    bloom.save(str(new))
    umask = os.umask(0)
    os.umask(umask)
    assert stat.S_IMODE(new.stat().st_mode) == 0o666 & ~umask
    old.write_bytes(b"old")
    old.chmod(0o640)
    link.symlink_to(old)
    bloom.save(str(link))
    assert link.is_symlink() and old.read_bytes() == bloom.to_bytes() and stat.S_IMODE(old.stat().st_mode) == 0o640
    assert sorted(os.listdir(tmp_path)) == ["link.bin", "new.bin", "old.bin"]


# ---- Every class: a full disk keeps the old file whole --------------------------------------------------------------


def large_topk():
    tracker = TopK(k=1000)
    tracker.update([f"{i:0100}" for i in range(1000)])
    return tracker


# Settings of an object of each class whose binary form is over 64 KiB.
LARGE = {
    "BloomFilter": {"num_bits": 2**20},
    "CountingBloomFilter": {"num_counters": 2**17},
    "ScalableBloomFilter": {"initial_capacity": 200_000},
    "CuckooFilter": {"capacity": 100_000},
    "HyperLogLog": {"precision": 18},
    "CountMinSketch": {"width": 20_000},
    "MinHash": {"num_hashes": 30_000},
}


@pytest.fixture
def small_disk(tmp_path):
    """A 64 KiB file system, mounted for the test (needs the right to mount)."""
    mount_point = tmp_path / "disk"
    mount_point.mkdir()
    if sys.platform != "linux" or os.getuid() != 0:
        pytest.skip("mounting a small tmpfs needs root on Linux")
    mounted = subprocess.run(["mount", "-t", "tmpfs", "-o", "size=64k", "tmpfs", str(mount_point)], capture_output=True)
    if mounted.returncode != 0:
        pytest.skip(f"mounting a small tmpfs is not permitted here: {mounted.stderr.decode().strip()}")
    yield mount_point
    subprocess.run(["umount", str(mount_point)], check=True)


@every_kind
def test_full_disk_keeps_the_old_file(small_disk, kind):
    path = str(small_disk / "kept.bin")
    old = kind.filled()
    old.save(path)
    big = kind.make(**LARGE[kind.name]) if kind.name in LARGE else large_topk()
    assert len(big.to_bytes()) > 64 * 1024
    with raises(ValueError, "Write error: No space left on device (os error 28)"):
        big.save(path)
    assert kind.cls.load(path).to_bytes() == old.to_bytes()
    assert os.listdir(small_disk) == ["kept.bin"]


@pytest.mark.skipif("asan" in os.environ.get("LD_PRELOAD", ""), reason="ASan needs an uncapped address space")
@pytest.mark.skipif(sys.platform != "linux", reason="needs /dev/zero and RLIMIT_AS")
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
