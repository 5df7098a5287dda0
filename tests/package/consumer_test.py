"""Uses the controller libraries the ways their users find them, from a
temporary install of this build (cmake --install --prefix):
    consumer_test.py cmake BUILD SOURCE        examples/play.cpp built by a project of
                                               its own through find_package(smfstream)
    consumer_test.py pkg-config BUILD SOURCE   the same through pkg-config --cflags --libs
    consumer_test.py pip VERSION SOURCE        pip install --no-build-isolation of a copy
                                               of python/, offline; the module has VERSION
Each built example must run (it prints its usage without arguments)."""
import os
import shlex
import shutil
import subprocess
import sys
import tempfile

CONSUMER = """cmake_minimum_required(VERSION 3.16)
project(consumer CXX)
find_package(smfstream 0.1 CONFIG REQUIRED)
add_executable(play {example})
target_link_libraries(play PRIVATE smfstream::controller)
"""


def run(command, **kwargs):
    print("+", shlex.join(command), flush=True)
    return subprocess.run(command, check=True, **kwargs)


def install(build, top):
    prefix = os.path.join(top, "prefix")
    run(["cmake", "--install", build, "--prefix", prefix], stdout=subprocess.DEVNULL)
    return prefix


def runs(program):
    usage = subprocess.run([program], capture_output=True, text=True, timeout=30)
    if usage.returncode != 2 or "usage:" not in usage.stderr:
        print(f"FAIL: {program} did not run: status {usage.returncode}, {usage.stderr!r}")
        return 1
    return 0


def cmake_consumer(build, source, top):
    prefix = install(build, top)
    project = os.path.join(top, "consumer")
    os.mkdir(project)
    with open(os.path.join(project, "CMakeLists.txt"), "w") as file:
        file.write(CONSUMER.format(example=os.path.join(source, "examples", "play.cpp")))
    # Only the install: nothing of the source tree's include/ on the way.
    run(["cmake", "-S", project, "-B", os.path.join(project, "build"), f"-DCMAKE_PREFIX_PATH={prefix}"])
    run(["cmake", "--build", os.path.join(project, "build")])
    return runs(os.path.join(project, "build", "play"))


def pkg_config_consumer(build, source, top):
    prefix = install(build, top)
    env = dict(os.environ, PKG_CONFIG_PATH=os.path.join(prefix, "share", "pkgconfig"))
    flags = run(["pkg-config", "--cflags", "--libs", "smfstream"], env=env, capture_output=True,
                text=True).stdout.split()
    program = os.path.join(top, "play")
    run([os.environ.get("CXX", "c++"), "-std=c++17", "-o", program, os.path.join(source, "examples", "play.cpp")]
        + flags)
    return runs(program)


def python_with_setuptools():
    """A Python with pip, setuptools and wheel: this one, or Debian's."""
    for python in (sys.executable, "/usr/bin/python3"):
        check = subprocess.run([python, "-c", "import setuptools, wheel, pip"], capture_output=True)
        if check.returncode == 0:
            return python
    return None


def pip_install(version, source, top):
    python = python_with_setuptools()
    if not python:
        print("FAIL: no Python with pip, setuptools and wheel (scripts/install-deps installs Debian's)")
        return 1
    copy = os.path.join(top, "python")  # the build leaves its files beside the sources
    shutil.copytree(os.path.join(source, "python"), copy)
    target = os.path.join(top, "site")
    run([python, "-m", "pip", "install", "--no-build-isolation", "--no-index", "--no-deps", "--target", target,
         copy], env=dict(os.environ, PIP_DISABLE_PIP_VERSION_CHECK="1", PIP_ROOT_USER_ACTION="ignore"))
    env = {"PATH": os.environ["PATH"], "PYTHONPATH": target, "PYTHONDONTWRITEBYTECODE": "1"}
    found = run([python, "-c", "import importlib.metadata as m, smfstream; print(smfstream.__file__); "
                 "print(smfstream.__version__, m.version('smfstream'))"],
                env=env, cwd=top, capture_output=True, text=True).stdout.split()
    print(found)
    if not found[0].startswith(target) or found[1:] != [version, version]:
        print(f"FAIL: expected smfstream {version} from {target}")
        return 1
    return 0


def main():
    what, argument, source = sys.argv[1:4]
    with tempfile.TemporaryDirectory() as top:
        try:
            if what == "cmake":
                return cmake_consumer(argument, source, top)
            if what == "pkg-config":
                return pkg_config_consumer(argument, source, top)
            return pip_install(argument, source, top)
        except subprocess.CalledProcessError as error:
            print(f"FAIL: {error}")
            return 1


if __name__ == "__main__":
    sys.exit(main())
