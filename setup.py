"""Builds the _corvisk_core extension with CMake and installs it inside the corvisk package."""

import glob
import os
import shutil
import subprocess
import sys

from setuptools import Extension, setup
from setuptools.command.build_ext import build_ext

ROOT = os.path.dirname(os.path.abspath(__file__))


class CMakeBuild(build_ext):
    def build_extension(self, ext):
        # CORVISK_CMAKE_BUILD_DIR lets the test script share its build tree (no second compile).
        build_dir = os.environ.get("CORVISK_CMAKE_BUILD_DIR") or os.path.join(
            ROOT, "build", "py-" + sys.implementation.cache_tag)
        subprocess.check_call([
            "cmake", "-S", ROOT, "-B", build_dir,
            f"-DPython3_EXECUTABLE={sys.executable}",
            "-DCMAKE_BUILD_TYPE=RelWithDebInfo",
        ])
        subprocess.check_call([
            "cmake", "--build", build_dir, "--target", ext.name.rsplit(".", 1)[-1],
            "-j", str(os.cpu_count() or 2),
        ])
        module = ext.name.rsplit(".", 1)[-1]
        built = glob.glob(os.path.join(build_dir, module + ".*.so"))
        if not built:
            raise RuntimeError(f"{module} was not built in {build_dir}")
        dest = self.get_ext_fullpath(ext.name)
        os.makedirs(os.path.dirname(dest), exist_ok=True)
        shutil.copyfile(built[0], dest)


setup(
    ext_modules=[Extension("corvisk._corvisk_core", sources=[]),
                 Extension("corvisk._corvisk_ext", sources=[]),
                 Extension("corvisk._corvisk_pixels", sources=[])],
    cmdclass={"build_ext": CMakeBuild},
)
