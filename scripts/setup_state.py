"""What scripts/setup.sh installs, and keys that tell whether an environment is up to date.

    python scripts/setup_state.py requirements          the requirement lines, one a line
    python scripts/setup_state.py build-requirements    only those a build needs (scripts/wheel.sh)
    python scripts/setup_state.py requirements-key      key of those lines and this interpreter
    python scripts/setup_state.py build-keys            "KEY_OFF KEY_ON INSTALLED": keys of the
                                                         build's inputs with ZENTROVA_TEST_KERNELS
                                                         OFF / ON; INSTALLED is yes or no

Run with the environment's interpreter. The requirements are kept in pyproject.toml alone:
[build-system] requires, [tool.zentrova] build-tools (setup.sh builds without pip's isolated
build environment, so nothing else would install cmake and ninja), [project] dependencies and
the "test" extra. Adding a test dependency is one line in that extra.

A build key covers everything the installed modules are made from: pyproject.toml,
CMakeLists.txt and every file under src/, python/ and tests/native/ as it is on disk now (git's
list of files, tracked or new and not ignored, so that edits not yet committed count; every file
there when git or the repository is missing), the interpreter, the compiler and its environment
variables (ZENTROVA_SANITIZE among them), and the versions of the build requirements installed. INSTALLED is no when the
installed zentrova is gone or lacks a file of its own: a stamp then vouches for nothing.
"""

import hashlib
import importlib.metadata
import os
import shutil
import subprocess
import sys
import sysconfig

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
BUILD_INPUTS = ("pyproject.toml", "CMakeLists.txt", "src", "python", "tests/native")
# environment variables that change what CMake and the compiler make
BUILD_ENV = ("CXX", "CXXFLAGS", "CPPFLAGS", "LDFLAGS", "CMAKE_ARGS", "CMAKE_GENERATOR", "ZENTROVA_SANITIZE")
BUILD_TOOLS = ("numpy", "scikit-build-core", "cmake", "ninja")


def load_pyproject():
    path = os.path.join(ROOT, "pyproject.toml")
    try:
        import tomllib  # Python 3.11+
    except ImportError:
        try:
            from pip._vendor import tomli as tomllib  # older Pythons: the copy pip carries
        except ImportError:
            sys.exit("setup_state.py: cannot read pyproject.toml: no tomllib (Python 3.11+) and no pip in "
                     f"{sys.executable}")
    with open(path, "rb") as f:
        return tomllib.load(f)


def build_requirements(toml):
    return toml["build-system"]["requires"] + toml["tool"]["zentrova"]["build-tools"]


def requirements():
    toml = load_pyproject()
    project = toml["project"]
    return build_requirements(toml) + project.get("dependencies", []) + project["optional-dependencies"]["test"]


def interpreter_identity():
    return "\n".join([sys.version, sys.base_prefix, sys.executable,
                      str(sysconfig.get_config_var("SOABI")), sysconfig.get_platform()])


def digest(parts):
    h = hashlib.sha256()
    for part in parts:
        data = part if isinstance(part, bytes) else part.encode()
        h.update(len(data).to_bytes(8, "little"))
        h.update(data)
    return h.hexdigest()


def input_files():
    """Paths under ROOT of the build's inputs, sorted."""
    try:
        out = subprocess.run(["git", "-C", ROOT, "ls-files", "-z", "--cached", "--others", "--exclude-standard",
                              "--", *BUILD_INPUTS],
                             check=True, capture_output=True).stdout
        return sorted(set(p for p in out.decode().split("\0") if p))
    except (OSError, subprocess.CalledProcessError):
        pass  # no git, or not a repository (an unpacked sdist): every file there
    found = []
    for name in BUILD_INPUTS:
        top = os.path.join(ROOT, name)
        if os.path.isfile(top):
            found.append(name)
            continue
        for folder, dirs, files in os.walk(top):
            dirs[:] = sorted(d for d in dirs if d != "__pycache__")
            for f in files:
                if not f.endswith((".pyc", ".so")):
                    found.append(os.path.relpath(os.path.join(folder, f), ROOT))
    return sorted(found)


def file_contents(relpath):
    try:
        with open(os.path.join(ROOT, relpath), "rb") as f:
            return f.read()
    except FileNotFoundError:
        return b"\0missing"  # listed by git but deleted in the work tree


def compiler_identity():
    cxx = os.environ.get("CXX") or "c++"
    path = shutil.which(cxx.split()[0]) if cxx.split() else None
    if path is None:
        return f"{cxx}: not found"
    try:
        return path + "\n" + subprocess.run([path, "--version"], capture_output=True, text=True).stdout
    except OSError as e:
        return f"{path}: {e}"


def installed_version(name):
    try:
        return importlib.metadata.version(name)
    except importlib.metadata.PackageNotFoundError:
        return "none"


def zentrova_installed():
    """Whether the environment holds zentrova with every file its record lists."""
    try:
        dist = importlib.metadata.distribution("zentrova")
    except importlib.metadata.PackageNotFoundError:
        return False
    return all(os.path.exists(dist.locate_file(f)) for f in dist.files or ())


def build_keys():
    parts = [interpreter_identity(), compiler_identity()]
    parts += [f"{name}={os.environ.get(name, '')}" for name in BUILD_ENV]
    parts += [f"{name}=={installed_version(name)}" for name in BUILD_TOOLS]
    for path in input_files():
        parts += [path, file_contents(path)]
    keys = [digest(parts + [f"ZENTROVA_TEST_KERNELS={value}"]) for value in ("OFF", "ON")]
    return keys + ["yes" if zentrova_installed() else "no"]


def main(argv):
    if argv == ["requirements"]:
        print("\n".join(requirements()))
    elif argv == ["build-requirements"]:
        print("\n".join(build_requirements(load_pyproject())))
    elif argv == ["requirements-key"]:
        print(digest([interpreter_identity(), *requirements()]))
    elif argv == ["build-keys"]:
        print(*build_keys())
    else:
        sys.exit(__doc__)


if __name__ == "__main__":
    main(sys.argv[1:])
