"""The package's build backend: builds the extension module with the
project's own CMake build and packs it into a platform wheel, or into an
editable one that loads the module from the source tree.

Written with the standard library only, so a wheel builds with build
isolation or without it (``pip wheel . --no-build-isolation``) and with no
package index at all.  The wheel is for the interpreter that runs the
build: its tag (``cp312-cp312-linux_x86_64``) and the module's file name
come from it.

The ``vesbel`` package is the host application's: the wheel adds
``vesbel/group_bridge.<ext>`` to it and owns no other file there (no
``__init__.py``, no ``py.typed``).  Its types travel in a stub-only partial
package, ``vesbel-stubs`` (PEP 561), which type checkers read before the host's
package and fall through for every other module.

The wheel's module is built relocatable (no path of the building machine,
stripped), so the same sources give the same module in any folder.  Its
CMake build folder is ``build/wheel-<tag>`` in the source tree and is kept,
so a second build only relinks what changed.  An editable install builds
with the developer settings in ``build/editable-<tag>`` into the source
tree's ``vesbel/``, where ``scripts/env.sh build`` also puts it.
``CMAKE_BUILD_PARALLEL_LEVEL`` sets the compile jobs (2 by default).
"""

import base64
import csv
import hashlib
import io
import os
import pathlib
import subprocess
import sys
import sysconfig
import tarfile
import tomllib
import zipfile

PACKAGE = "vesbel"
MODULE = "group_bridge"
STUB = f"{PACKAGE}/{MODULE}.pyi"
STUB_PACKAGE = f"{PACKAGE}-stubs"
# The finder an editable install puts on sys.meta_path; see editable_finder.py.
FINDER = "_vesbel_group_bridge_editable"
# What an sdist must hold for a wheel to be built from it.
SDIST_FILES = ("pyproject.toml", "CMakeLists.txt", "README.md", "build_backend/vesbel_build.py",
               "build_backend/editable_finder.py", STUB)
SDIST_TREES = ("src",)
# Fixed time stamp for archive members, so the same input gives the same archive.
EPOCH = (1980, 1, 1, 0, 0, 0)


# --- project metadata --------------------------------------------------------

def _project():
    with open("pyproject.toml", "rb") as handle:
        return tomllib.load(handle)["project"]


def _distribution(project):
    """The name as it appears in file names: normalised, with underscores."""
    return project["name"].replace("-", "_").replace(".", "_").lower()


def _metadata(project):
    lines = [
        "Metadata-Version: 2.1",
        f"Name: {project['name']}",
        f"Version: {project['version']}",
        f"Summary: {project.get('description', '')}",
    ]
    if "requires-python" in project:
        lines.append(f"Requires-Python: {project['requires-python']}")
    lines += [f"Requires-Dist: {requirement}" for requirement in project.get("dependencies", [])]
    readme = project.get("readme")
    if readme:
        lines.append("Description-Content-Type: text/markdown")
        return "\n".join(lines) + "\n\n" + pathlib.Path(readme).read_text(encoding="utf-8")
    return "\n".join(lines) + "\n"


# --- the interpreter's wheel tag -----------------------------------------------

def _tag():
    """python-abi-platform of the running CPython, e.g. cp312-cp312-linux_x86_64."""
    if sys.implementation.name != "cpython":
        raise RuntimeError("the extension module builds for CPython only")
    python = f"cp{sys.version_info.major}{sys.version_info.minor}"
    abi = python + sys.abiflags
    platform = sysconfig.get_platform().replace("-", "_").replace(".", "_")
    return f"{python}-{abi}-{platform}"


# --- the CMake build -------------------------------------------------------------

def _build_module(build_dir, output_dir, *options):
    """Configures (once) and builds the module for this interpreter into
    ``output_dir``; gives back the path of the built file."""
    configure = ["cmake", "-S", ".", "-B", str(build_dir), f"-DPython_EXECUTABLE={sys.executable}",
                 f"-DGROUP_BRIDGE_OUTPUT_DIR={output_dir.resolve()}", *options]
    jobs = os.environ.get("CMAKE_BUILD_PARALLEL_LEVEL", "2")
    for command in (configure, ["cmake", "--build", str(build_dir), "-j", jobs]):
        # Progress goes to stderr: stdout may be a frontend's channel.
        subprocess.run(command, check=True, stdout=sys.stderr)
    built = output_dir / (MODULE + sysconfig.get_config_var("EXT_SUFFIX"))
    if not built.is_file():
        raise RuntimeError(f"the CMake build did not produce {built}")
    return built


def _build_for_wheel(tag):
    build_dir = pathlib.Path("build") / f"wheel-{tag}"
    return _build_module(build_dir, build_dir / "module", "-DCMAKE_BUILD_TYPE=Release",
                         "-DGROUP_BRIDGE_RELOCATABLE=ON")


def _build_in_tree(tag):
    return _build_module(pathlib.Path("build") / f"editable-{tag}", pathlib.Path(PACKAGE),
                         "-DCMAKE_BUILD_TYPE=RelWithDebInfo")


# --- archives ------------------------------------------------------------------

def _record_line(name, data):
    digest = base64.urlsafe_b64encode(hashlib.sha256(data).digest()).rstrip(b"=").decode()
    return [name, f"sha256={digest}", str(len(data))]


def _write_wheel(path, files, dist_info):
    """Writes ``files`` ({archive name: bytes}) and a RECORD of them."""
    record = io.StringIO()
    writer = csv.writer(record, lineterminator="\n")
    with zipfile.ZipFile(path, "w", compression=zipfile.ZIP_DEFLATED) as wheel:
        for name, data in files.items():
            info = zipfile.ZipInfo(name, EPOCH)
            info.external_attr = (0o755 if name.endswith(".so") else 0o644) << 16
            info.compress_type = zipfile.ZIP_DEFLATED
            wheel.writestr(info, data)
            writer.writerow(_record_line(name, data))
        record_name = f"{dist_info}/RECORD"
        writer.writerow([record_name, "", ""])
        wheel.writestr(zipfile.ZipInfo(record_name, EPOCH), record.getvalue())


def _dist_info_files(project, tag):
    dist_info = f"{_distribution(project)}-{project['version']}.dist-info"
    wheel = ("Wheel-Version: 1.0\n"
             f"Generator: vesbel_build\n"
             "Root-Is-Purelib: false\n"
             f"Tag: {tag}\n")
    return dist_info, {f"{dist_info}/METADATA": _metadata(project).encode(),
                       f"{dist_info}/WHEEL": wheel.encode()}


# --- PEP 517 hooks -----------------------------------------------------------------

def get_requires_for_build_wheel(config_settings=None):
    return []


def get_requires_for_build_sdist(config_settings=None):
    return []


def prepare_metadata_for_build_wheel(metadata_directory, config_settings=None):
    dist_info, files = _dist_info_files(_project(), _tag())
    for name, data in files.items():
        target = pathlib.Path(metadata_directory, name)
        target.parent.mkdir(parents=True, exist_ok=True)
        target.write_bytes(data)
    return dist_info


def _stub_files():
    """The stub-only partial package that carries the module's types."""
    return {f"{STUB_PACKAGE}/{MODULE}.pyi": pathlib.Path(STUB).read_bytes(),
            f"{STUB_PACKAGE}/py.typed": b"partial\n"}


def _pack(wheel_directory, files):
    project, tag = _project(), _tag()
    dist_info, metadata = _dist_info_files(project, tag)
    name = f"{_distribution(project)}-{project['version']}-{tag}.whl"
    _write_wheel(pathlib.Path(wheel_directory, name), {**files, **_stub_files(), **metadata}, dist_info)
    return name


def build_wheel(wheel_directory, config_settings=None, metadata_directory=None):
    built = _build_for_wheel(_tag())
    return _pack(wheel_directory, {f"{PACKAGE}/{built.name}": built.read_bytes()})


def build_editable(wheel_directory, config_settings=None, metadata_directory=None):
    """PEP 660: the module stays in the source tree; a finder installed by a
    .pth file loads ``vesbel.group_bridge`` from there, whatever folders the
    host's ``vesbel`` package spans.  Rebuilding (this hook again, or
    ``cmake --build build/editable-<tag>``) takes effect at the next start."""
    built = _build_in_tree(_tag()).resolve()
    finder = pathlib.Path(__file__).with_name("editable_finder.py").read_bytes()
    pth = f"import {FINDER}; {FINDER}.install({f'{PACKAGE}.{MODULE}'!r}, {str(built)!r})\n"
    return _pack(wheel_directory, {f"{FINDER}.py": finder, f"{FINDER}.pth": pth.encode()})


get_requires_for_build_editable = get_requires_for_build_wheel
prepare_metadata_for_build_editable = prepare_metadata_for_build_wheel


def _sdist_members():
    members = list(SDIST_FILES)
    for tree in SDIST_TREES:
        members += sorted(str(p) for p in pathlib.Path(tree).rglob("*") if p.is_file()
                          and "__pycache__" not in p.parts)
    return members


def build_sdist(sdist_directory, config_settings=None):
    project = _project()
    base = f"{_distribution(project)}-{project['version']}"
    name = f"{base}.tar.gz"

    def add(archive, member, data):
        info = tarfile.TarInfo(f"{base}/{member}")
        info.size, info.mode, info.mtime = len(data), 0o644, 315532800  # 1980-01-01
        archive.addfile(info, io.BytesIO(data))

    with tarfile.open(pathlib.Path(sdist_directory, name), "w:gz", format=tarfile.PAX_FORMAT) as archive:
        add(archive, "PKG-INFO", _metadata(project).encode())
        for member in _sdist_members():
            add(archive, member, pathlib.Path(member).read_bytes())
    return name
