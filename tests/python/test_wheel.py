"""`pip wheel` builds an installable wheel that pins its torch and works in a fresh environment."""
import glob
import os
import subprocess
import sys
import sysconfig
import zipfile

import torch

ROOT = os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__))))


def run(command, **kwargs):
    result = subprocess.run(command, capture_output=True, text=True, timeout=900, **kwargs)
    assert result.returncode == 0, f"{command}\n{result.stdout[-3000:]}\n{result.stderr[-3000:]}"
    return result


def torch_without_tovrel(directory):
    """A view of this environment's site-packages holding everything but tovrel, so that a fresh
    environment can see this torch (a real install would copy several gigabytes of CUDA
    libraries) and nothing of the module under test."""
    site = sysconfig.get_paths()["purelib"]
    os.makedirs(directory)
    for entry in os.listdir(site):
        if not entry.startswith(("tovrel", "__pycache__")):
            os.symlink(os.path.join(site, entry), os.path.join(directory, entry))
    return directory


def test_wheel_installs_and_imports_in_a_fresh_environment(tmp_path):
    run([sys.executable, "-m", "pip", "wheel", "--no-build-isolation", "--no-deps", "--wheel-dir",
         str(tmp_path / "dist"), ROOT])
    (wheel,) = glob.glob(str(tmp_path / "dist" / "tovrel-*.whl"))
    with zipfile.ZipFile(wheel) as archive:
        names = archive.namelist()
        metadata = archive.read(next(n for n in names if n.endswith(".dist-info/METADATA")))
        entry_points = archive.read(next(n for n in names if n.endswith("entry_points.txt")))
    torch_version = torch.__version__.split("+")[0]
    assert f"Requires-Dist: torch=={torch_version}" in metadata.decode()
    assert "tovrel-decode = tovrel_decode.cli:main" in entry_points.decode()
    for expected in ("tovrel.cpython-310-x86_64-linux-gnu.so",
                     "tovrel_tensors.cpython-310-x86_64-linux-gnu.so", "tovrel_decode/cli.py",
                     "tovrel-stubs/__init__.pyi", "tovrel_tensors-stubs/__init__.pyi"):
        assert expected in names, expected

    fresh = tmp_path / "fresh"
    # Without pip of its own (whose bundled setuptools would shadow the one torch needs); this
    # environment's pip installs into it.
    run([sys._base_executable, "-m", "venv", "--without-pip", str(fresh)])
    python = str(fresh / "bin" / "python")
    fresh_site = run([python, "-c", "import sysconfig; print(sysconfig.get_paths()['purelib'])"])
    with open(os.path.join(fresh_site.stdout.strip(), "torch-view.pth"), "w") as pth:
        pth.write(f"{torch_without_tovrel(tmp_path / 'torch-view')}\n")
    # No index: the torch pin must be met by the torch already there.
    run([sys.executable, "-m", "pip", "--python", python, "install", "--no-index", wheel])

    check = f"""
import torch, tovrel, tovrel_tensors
assert tovrel.__file__.startswith({str(fresh)!r}), tovrel.__file__
scores = torch.randn(20, 80, generator=torch.Generator().manual_seed(0))
back, posts = torch.tensor(tovrel.backward_scores(scores)), torch.tensor(tovrel.posts(scores))
assert tovrel.beam_search(scores, back, posts)[:2] == tovrel_tensors.decode(scores)[:2]
torch.save(scores, {str(tmp_path / 'scores.pt')!r})
"""
    run([python, "-c", check], cwd=str(tmp_path))
    decoded = run([str(fresh / "bin" / "tovrel-decode"), str(tmp_path / "scores.pt"), "-q"])
    assert decoded.stdout.startswith("@scores_0\n")
