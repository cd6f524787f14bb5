"""`pip wheel .` gives one abi3 wheel that imports on its own."""

import pathlib
import subprocess
import sys
import zipfile

import pytest

ROOT = pathlib.Path(__file__).resolve().parents[2]


@pytest.mark.skipif(not (ROOT / "pyproject.toml").exists(), reason="needs the source tree")
def test_wheel_is_abi3_and_imports(tmp_path):
    subprocess.run(
        [sys.executable, "-m", "pip", "wheel", "--no-build-isolation", "--no-deps", "-q", "-w", str(tmp_path), str(ROOT)],
        check=True,
    )
    wheels = list(tmp_path.glob("*.whl"))
    assert len(wheels) == 1
    name = wheels[0].name
    assert "-cp311-abi3-" in name, name
    unpacked = tmp_path / "unpacked"
    with zipfile.ZipFile(wheels[0]) as wheel:
        modules = [n for n in wheel.namelist() if n.startswith("velt/_velt") and n.endswith(".so")]
        assert len(modules) == 1 and modules[0].endswith(".abi3.so")
        assert "velt/_velt.pyi" in wheel.namelist() and "velt/py.typed" in wheel.namelist()
        wheel.extractall(unpacked)
    check = (
        "import sys, velt; "
        f"assert velt.__file__.startswith({str(unpacked)!r}), velt.__file__; "
        "f = velt.BloomFilter(expected_items=10); f.add('x'); assert 'x' in f"
    )
    subprocess.run([sys.executable, "-I", "-c", f"import sys; sys.path.insert(0, {str(unpacked)!r}); {check}"], check=True)
