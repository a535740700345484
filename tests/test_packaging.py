"""The wheel: built by pip from the source tree, installed into a fresh
virtualenv outside the repository and imported there beside the host
application's own `vesbel` package; the same wheel from a second checkout in
another folder; an editable install; the typing check.

The CMake build behind the wheel keeps its folder (build/wheel-<tag>), so
after the first run the tests on this checkout only relink and pack.
"""

import base64
import csv
import hashlib
import io
import pathlib
import shutil
import subprocess
import sys
import sysconfig
import tarfile
import zipfile

import pytest
import zeroconf

from conftest import ROOT

pytestmark = pytest.mark.module_only

TAG = f"cp{sys.version_info.major}{sys.version_info.minor}"
MODULE_FILE = "group_bridge" + sysconfig.get_config_var("EXT_SUFFIX")
# What the host's stand-ins are: every file of vesbel/ that the wheel must not carry.
HOST_FILES = ("__init__.py", "config.py", "xiaomi.py", "audio_hub.py", "airplay", "web")
TYPECHECK_MISSING_PYRIGHT = 3  # scripts/typecheck.sh's status when it finds no pyright


def pip(*args, python=None, timeout=600):
    """Runs this interpreter's pip, for the environment of ``python`` when given."""
    target = ["--python", str(python)] if python else []
    offline = [] if args[0] == "uninstall" else ["--no-index", "--no-cache-dir"]
    done = subprocess.run([sys.executable, "-m", "pip", *target, *args, *offline, "--disable-pip-version-check"],
                          cwd=ROOT, capture_output=True, text=True, timeout=timeout)
    assert done.returncode == 0, done.stdout + done.stderr
    return done


def fresh_venv(path):
    """A virtualenv that sees zeroconf where this one finds it, and nothing of the repository."""
    subprocess.run([sys.executable, "-m", "venv", "--without-pip", str(path)], check=True)
    python = path / "bin" / "python"
    site = subprocess.run([str(python), "-c", "import sysconfig; print(sysconfig.get_paths()['purelib'])"],
                          capture_output=True, text=True, check=True).stdout.strip()
    zeroconf_home = pathlib.Path(zeroconf.__file__).resolve().parent.parent
    pathlib.Path(site, "zeroconf-home.pth").write_text(f"{zeroconf_home}\n")
    return python, pathlib.Path(site)


def host_package(into):
    """A copy of the host's `vesbel` package (the stand-ins), without the module."""
    package = into / "vesbel"
    package.mkdir(parents=True, exist_ok=True)
    for name in HOST_FILES:
        source = ROOT / "vesbel" / name
        if source.is_dir():
            shutil.copytree(source, package / name, ignore=shutil.ignore_patterns("__pycache__"))
        else:
            shutil.copy(source, package / name)
    return into


IMPORT_CHECK = """
import vesbel.group_bridge as gb
from vesbel.config import Config
group = gb.GroupController(Config(), dict)
print(gb.__file__)
print(group.did, group.hardware, group.get_member_controllers())
"""


def import_in(python, pythonpath=None):
    env = {"PATH": "/usr/bin:/bin"}
    if pythonpath:
        env["PYTHONPATH"] = str(pythonpath)
    done = subprocess.run([str(python), "-c", IMPORT_CHECK], cwd=python.parent, env=env,
                          capture_output=True, text=True, timeout=60)
    assert done.returncode == 0, done.stderr
    module_file, identity = done.stdout.splitlines()
    assert identity == "group_all GROUP []"
    return pathlib.Path(module_file)


@pytest.fixture(scope="module")
def wheel(tmp_path_factory):
    out = tmp_path_factory.mktemp("wheelhouse")
    pip("wheel", ".", "--no-build-isolation", "--no-deps", "-w", str(out))
    (built,) = out.glob("*.whl")
    return built


def test_the_wheel_holds_the_module_its_stub_and_marker_and_a_true_record(wheel):
    assert wheel.name.startswith(f"vesbel_group_bridge-0.1.0-{TAG}-{TAG}-")
    with zipfile.ZipFile(wheel) as archive:
        names = archive.namelist()
        dist_info = "vesbel_group_bridge-0.1.0.dist-info"
        assert sorted(names) == sorted([f"vesbel/{MODULE_FILE}", "vesbel-stubs/group_bridge.pyi",
                                        "vesbel-stubs/py.typed", f"{dist_info}/METADATA", f"{dist_info}/WHEEL",
                                        f"{dist_info}/RECORD"])
        record = list(csv.reader(io.StringIO(archive.read(f"{dist_info}/RECORD").decode())))
        assert sorted(row[0] for row in record) == sorted(names)
        for name, digest, size in record:
            if name.endswith("RECORD"):
                assert (digest, size) == ("", "")
                continue
            data = archive.read(name)
            expected = base64.urlsafe_b64encode(hashlib.sha256(data).digest()).rstrip(b"=").decode()
            assert (digest, size) == (f"sha256={expected}", str(len(data))), name
        wheel_file = archive.read(f"{dist_info}/WHEEL").decode()
        assert "Root-Is-Purelib: false" in wheel_file
        assert f"Tag: {wheel.name.removesuffix('.whl').split('-', 2)[2]}" in wheel_file
        metadata = archive.read(f"{dist_info}/METADATA").decode()
        assert "Name: vesbel-group-bridge\n" in metadata
        assert "Requires-Dist: zeroconf\n" in metadata
        assert archive.read("vesbel-stubs/group_bridge.pyi") == (ROOT / "vesbel" / "group_bridge.pyi").read_bytes()
        # A stub-only package that leaves every other vesbel module to the host's package.
        assert archive.read("vesbel-stubs/py.typed") == b"partial\n"


def test_the_installed_wheel_is_imported_from_the_venv_beside_the_hosts_package(wheel, tmp_path):
    python, site = fresh_venv(tmp_path / "venv")
    pip("install", str(wheel), python=python)
    assert not (site / "vesbel" / "__init__.py").exists()
    # A host run from its source tree: its package extends its __path__.
    assert import_in(python, host_package(tmp_path / "host")) == site / "vesbel" / MODULE_FILE
    # A host installed into the same environment: one vesbel/ folder.
    host_package(site)
    (site / "vesbel" / "py.typed").write_text("")
    assert import_in(python) == site / "vesbel" / MODULE_FILE
    # Uninstalling takes the module and its stubs and leaves every file of the host's.
    pip("uninstall", "-y", "vesbel-group-bridge", python=python)
    left = {p.name for p in (site / "vesbel").iterdir()} - {"__pycache__"}
    assert left == {*HOST_FILES, "py.typed"}
    assert not (site / "vesbel-stubs").exists()


def test_pip_install_from_the_source_tree_with_build_isolation(tmp_path):
    python, site = fresh_venv(tmp_path / "venv")
    pip("install", str(ROOT), python=python)
    assert import_in(python, host_package(tmp_path / "host")) == site / "vesbel" / MODULE_FILE


def test_the_sdist_carries_everything_the_build_reads(tmp_path):
    done = subprocess.run([sys.executable, "-c", "import sys, vesbel_build; print(vesbel_build.build_sdist(sys.argv[1]))",
                           str(tmp_path)], cwd=ROOT, env={"PYTHONPATH": str(ROOT / "build_backend")},
                          capture_output=True, text=True, check=True)
    name = done.stdout.strip()
    assert name == "vesbel_group_bridge-0.1.0.tar.gz"
    tracked = subprocess.run(["git", "ls-files", "src"], cwd=ROOT, capture_output=True, text=True)
    if tracked.returncode != 0:
        pytest.skip("not a git checkout")
    with tarfile.open(tmp_path / name) as archive:
        members = {m.split("/", 1)[1] for m in archive.getnames()}
    needed = set(tracked.stdout.split()) | {"CMakeLists.txt", "pyproject.toml", "README.md",
                                            "build_backend/vesbel_build.py", "build_backend/editable_finder.py",
                                            "vesbel/group_bridge.pyi", "PKG-INFO"}
    assert needed <= members
    assert not {m for m in members if m.startswith("vesbel/") and not m.endswith(".pyi")}


def tracked_files():
    listed = subprocess.run(["git", "ls-files", "--cached", "--others", "--exclude-standard"], cwd=ROOT,
                            capture_output=True, text=True)
    if listed.returncode != 0:
        pytest.skip("not a git checkout")
    return [name for name in listed.stdout.splitlines() if (ROOT / name).is_file()]


@pytest.fixture(scope="module")
def second_checkout(tmp_path_factory):
    """The same sources in another folder, as a second clone would have them."""
    checkout = tmp_path_factory.mktemp("elsewhere") / "vesbel-group-bridge"
    for name in tracked_files():
        (checkout / name).parent.mkdir(parents=True, exist_ok=True)
        shutil.copy2(ROOT / name, checkout / name)
    return checkout


def wheel_module(wheel):
    with zipfile.ZipFile(wheel) as archive:
        return archive.read(f"vesbel/{MODULE_FILE}")


def test_two_checkouts_in_different_folders_build_the_same_stripped_module(wheel, second_checkout, tmp_path):
    done = subprocess.run([sys.executable, "-m", "pip", "wheel", ".", "--no-build-isolation", "--no-deps",
                           "--no-index", "-w", str(tmp_path)], cwd=second_checkout, capture_output=True,
                          text=True, timeout=600)
    assert done.returncode == 0, done.stdout + done.stderr
    (other,) = tmp_path.glob("*.whl")
    ours, theirs = wheel_module(wheel), wheel_module(other)
    for module in (ours, theirs):
        assert [str(f) for f in (ROOT, second_checkout) if str(f).encode() in module] == []
    assert b".symtab" not in ours and b"src/group_bridge/" in ours
    assert ours == theirs


def test_an_editable_install_loads_the_module_built_into_the_source_tree(second_checkout, tmp_path):
    python, site = fresh_venv(tmp_path / "venv")
    pip("install", "-e", str(second_checkout), "--no-build-isolation", python=python)
    built = second_checkout / "vesbel" / MODULE_FILE
    assert import_in(python, host_package(tmp_path / "host")) == built
    host_package(site)
    assert import_in(python) == built
    assert not (site / "vesbel" / MODULE_FILE).exists()


def test_the_typing_check_passes_for_both_host_set_ups(wheel):
    done = subprocess.run(["bash", str(ROOT / "scripts" / "typecheck.sh"), str(wheel)], cwd=ROOT,
                          capture_output=True, text=True, timeout=600)
    if done.returncode == TYPECHECK_MISSING_PYRIGHT:
        pytest.skip(done.stderr.strip())
    assert done.returncode == 0, done.stdout + done.stderr
    assert done.stdout.splitlines()[-1] == "typecheck: PASS (installed host, host run from its source tree)"
