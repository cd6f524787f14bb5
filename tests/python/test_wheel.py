"""The wheel of `make wheel` installs into a fresh environment of every CPython from 3.11 on,
and behaves there as here; so does one built from the sdist. cibuildwheel's settings give one
abi3 wheel for each platform."""

import json
import os
import pathlib
import re
import subprocess
import sys
import zipfile

import pytest

ROOT = pathlib.Path(__file__).resolve().parents[2]
pytestmark = pytest.mark.skipif(not (ROOT / "pyproject.toml").exists(), reason="needs the source tree")

# Builds every class from two halves of one stream (merged where the class merges; the index
# keyed by each distinct item, with the signature of its text), checks
# that its bytes read back to the same bytes and that no filter misses an added item, and
# reports what each answers, for the test to compare with the package under test.
EXERCISE = """
import hashlib, sys, velt

def report():
    items = [f"item-{i % (1 + i % 500)}" for i in range(4000)]
    settings = {"BloomFilter": dict(expected_items=1000), "BlockedBloomFilter": dict(expected_items=1000),
                "CountingBloomFilter": dict(expected_items=1000),
                "ScalableBloomFilter": dict(initial_capacity=20), "CuckooFilter": dict(capacity=1000),
                "HyperLogLog": dict(precision=12), "CountMinSketch": dict(width=256, depth=4),
                "MinHash": dict(num_hashes=64), "TopK": dict(k=10), "MinHashLSH": dict(num_hashes=64)}

    def signatures(texts):
        return velt.MinHash.signatures([[text] for text in texts], 64, 0)

    def feed(structure, part):
        if isinstance(structure, velt.MinHashLSH):
            keys = sorted(set(part))
            structure.update(keys, signatures(keys))
        else:
            structure.update(part)

    answers = {}
    for name in velt.__all__:
        cls = getattr(velt, name)
        structure, half = cls(**settings[name]), cls(**settings[name])
        feed(structure, items[:2000])
        feed(half, items[2000:])
        if hasattr(cls, "merge"):
            structure.merge(half)
        else:
            feed(structure, items[2000:])
        data = structure.to_bytes()
        assert cls.from_bytes(data).to_bytes() == data, name
        if name.endswith("Filter"):
            assert all(item in structure for item in items), name
        answer = {"HyperLogLog": lambda: structure.cardinality(), "MinHash": lambda: structure.jaccard(half),
                  "TopK": lambda: structure.top(3),
                  "MinHashLSH": lambda: structure.query_many(signatures(["absent", *items[:50]]))}.get(
                      name, lambda: structure.query_many(["absent", *items[:50]]))()
        # A cuckoo filter's layout after relocations follows a generator seeded by the system.
        layout = None if name == "CuckooFilter" else hashlib.sha256(data).hexdigest()
        answers[name] = [layout, answer]
    return {"python": list(sys.version_info[:2]), "velt": velt.__file__, "native": velt._velt.__file__,
            "answers": answers}
"""


def pyenv_interpreters():
    """The newest CPython that pyenv has of each minor version from 3.11 on, by minor version."""
    root = pathlib.Path(os.environ.get("PYENV_ROOT") or pathlib.Path.home() / ".pyenv")
    versions = sorted(
        (tuple(map(int, version.groups())), python)
        for python in root.glob("versions/*/bin/python3")
        if (version := re.fullmatch(r"3\.(\d+)\.(\d+)", python.parents[1].name))
    )
    return {minor: python for (minor, _), python in versions if minor >= 11}


INTERPRETERS = pyenv_interpreters() | {sys.version_info.minor: pathlib.Path(sys.executable)}


@pytest.fixture(scope="session")
def wheel():
    """The wheel of `make wheel`, which make rebuilds only when a source is newer."""
    subprocess.run(["make", "--no-print-directory", "wheel"], cwd=ROOT, check=True)
    (wheel,) = (ROOT / "dist").glob("velt-*.whl")
    return wheel


def test_wheel_is_one_abi3_module_with_nothing_grafted(wheel):
    assert re.fullmatch(r"velt-[^-]+-cp311-abi3-manylinux_2_\d+_x86_64\.whl", wheel.name), wheel.name
    names = zipfile.ZipFile(wheel).namelist()
    # A library auditwheel had to copy in (libxxhash, say) would sit in velt.libs/.
    assert not [name for name in names if ".libs/" in name]
    assert [name for name in names if name.startswith("velt/_velt")] == ["velt/_velt.abi3.so", "velt/_velt.pyi"]
    assert "velt/py.typed" in names


def install_and_report(wheel, interpreter, tmp_path):
    """Installs `wheel` into a fresh environment of `interpreter` and returns its report,
    after checking that its answers are those of the package under test."""
    venv = tmp_path / "venv"
    subprocess.run([interpreter, "-m", "venv", "--without-pip", venv], check=True)
    python = venv / "bin" / "python"
    install = [sys.executable, "-m", "pip", "--python", python, "install", "-q", "--no-index", "--no-deps", wheel]
    subprocess.run(install, check=True)
    ran = subprocess.run([python, "-I", "-c", EXERCISE + "import json; print(json.dumps(report()))"],
                         capture_output=True, text=True)
    assert ran.returncode == 0, ran.stderr
    there = json.loads(ran.stdout)
    assert pathlib.Path(there["velt"]).is_relative_to(venv)
    namespace = {}
    exec(EXERCISE, namespace)
    assert there["answers"] == json.loads(json.dumps(namespace["report"]()["answers"]))
    return there


@pytest.mark.parametrize("minor", sorted(set(range(11, 14)) | INTERPRETERS.keys()))
def test_wheel_installs_and_works_on(minor, wheel, tmp_path):
    if minor not in INTERPRETERS:
        pytest.skip(f"CPython 3.{minor} is not on this machine (neither running nor in pyenv)")
    there = install_and_report(wheel, INTERPRETERS[minor], tmp_path)
    assert there["python"] == [3, minor] and there["native"].endswith("_velt.abi3.so")
    subprocess.run([tmp_path / "venv" / "bin" / "velt", "--help"], check=True, capture_output=True)


@pytest.mark.parametrize(
    "platform, identifiers",
    [
        ("linux", ["manylinux_x86_64", "manylinux_aarch64", "musllinux_x86_64", "musllinux_aarch64"]),
        ("macos", ["macosx_x86_64", "macosx_arm64"]),
        ("windows", ["win_amd64", "win_arm64"]),
    ],
)
def test_cibuildwheel_builds_one_abi3_wheel_per_platform(platform, identifiers):
    listed = subprocess.run(
        [pathlib.Path(sys.executable).parent / "cibuildwheel", "--print-build-identifiers", "--platform", platform],
        cwd=ROOT, capture_output=True, text=True, check=True,
    )
    assert listed.stdout.split() == [f"cp311-{identifier}" for identifier in identifiers]


def test_sdist_builds_and_installs(tmp_path):
    build = [sys.executable, "-m", "build", "--sdist", "--no-isolation", "--outdir", tmp_path, ROOT]
    subprocess.run(build, check=True, capture_output=True)
    (sdist,) = tmp_path.glob("velt-*.tar.gz")
    # Built from the sdist alone, with this environment's build tools.
    build_wheel = [sys.executable, "-m", "pip", "wheel", "-q", "--no-build-isolation", "--no-deps", "-w", tmp_path, sdist]
    subprocess.run(build_wheel, check=True, capture_output=True)
    (built,) = tmp_path.glob("velt-*.whl")
    install_and_report(built, sys.executable, tmp_path)
