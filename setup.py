"""The build glue behind pyproject.toml: the extension nlayer._nlayer comes from CMake.

The CMake build lives under setuptools' build_temp (inside pip's build) and is configured with
the extension alone: no window program, no tests, no benchmarks. NLAYER_CMAKE_ARGS adds
arguments (e.g. "-DCMAKE_BUILD_TYPE=Debug"); CMAKE_BUILD_PARALLEL_LEVEL sets the jobs (default 2).
NLAYER_CMAKE_BUILD names a CMake build directory of these sources to take the extension from
instead (it is brought up to date, not configured): the tests install the package so without
compiling the library a second time.
"""

import os
import pathlib
import re
import shlex
import shutil
import subprocess
import sys
import sysconfig

from setuptools import Extension, setup
from setuptools.command.build_ext import build_ext

ROOT = pathlib.Path(__file__).resolve().parent


def project_version():
    text = (ROOT / "CMakeLists.txt").read_text()
    return re.search(r"project\(nlayer VERSION ([0-9.]+)", text).group(1)


class CMakeExtension(Extension):
    def __init__(self, name):
        super().__init__(name, sources=[])


class CMakeBuild(build_ext):
    def build_extension(self, ext):
        jobs = os.environ.get("CMAKE_BUILD_PARALLEL_LEVEL", "2")
        existing = os.environ.get("NLAYER_CMAKE_BUILD")
        if existing:
            build_dir = pathlib.Path(existing).resolve()
            if not (build_dir / "CMakeCache.txt").is_file():
                sys.exit(f"NLAYER_CMAKE_BUILD={existing}: no CMake build directory (no CMakeCache.txt)")
        else:
            build_dir = pathlib.Path(self.build_temp).resolve() / "cmake"
            build_dir.mkdir(parents=True, exist_ok=True)
            configure = [
                "cmake", "-S", str(ROOT), "-B", str(build_dir),
                "-DCMAKE_BUILD_TYPE=RelWithDebInfo",
                "-DNLAYER_BUILD_UI=OFF", "-DNLAYER_BUILD_TESTS=OFF", "-DNLAYER_BUILD_BENCH=OFF",
                "-DNLAYER_BUILD_FUZZ=OFF", "-DNLAYER_BUILD_PYTHON=ON",
                # The interpreter pip runs, so that the extension matches it (a venv's, say).
                f"-DPython3_EXECUTABLE={sys.executable}",
                *shlex.split(os.environ.get("NLAYER_CMAKE_ARGS", "")),
            ]
            subprocess.run(configure, check=True)
        subprocess.run(["cmake", "--build", str(build_dir), "--target", "_nlayer", "-j", jobs], check=True)
        # Named for the interpreter that runs pip: an extension built for another is not taken.
        name = "_nlayer" + sysconfig.get_config_var("EXT_SUFFIX")
        built = build_dir / "python" / "nlayer" / name
        if not built.is_file():
            sys.exit(f"{build_dir} holds no {name}: it was built for another Python than {sys.executable}")
        target = pathlib.Path(self.get_ext_fullpath(ext.name))
        target.parent.mkdir(parents=True, exist_ok=True)
        shutil.copyfile(built, target)


# The package's layout lives here rather than in pyproject.toml, where setuptools 66 (Debian 12)
# calls [tool.setuptools] beta and warns.
setup(
    version=project_version(),
    # Everything pip builds goes to one folder under the checkout's build/, beside CMake's own
    # build, and is removed with it: the extension's CMake build alone is some 240 MB.
    options={"build": {"build_base": "build/pip"}, "egg_info": {"egg_base": "build/pip"}},
    package_dir={"nlayer": "python/nlayer"},
    packages=["nlayer", "nlayer.recording"],
    package_data={"nlayer": ["py.typed", "*.pyi"]},
    include_package_data=False,
    ext_modules=[CMakeExtension("nlayer._nlayer")],
    cmdclass={"build_ext": CMakeBuild},
)
