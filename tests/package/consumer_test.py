"""Uses the controller libraries the ways their users find them:
    consumer_test.py cmake BUILD SOURCE        examples/play.cpp built by a project of its own
                                               through find_package(smfstream), against a
                                               temporary install of BUILD (cmake --install)
    consumer_test.py pkg-config BUILD SOURCE   the same through pkg-config --cflags --libs
    consumer_test.py pip VERSION SOURCE        pip install --no-build-isolation of a copy of
                                               python/, offline: the module has VERSION
A built example must run (without arguments it prints its usage)."""
import os
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


def run(*command, **kwargs):
    print("+", *command, flush=True)
    return subprocess.run(command, check=True, **kwargs)


def built_example(how, build, source, top):
    prefix, example = os.path.join(top, "prefix"), os.path.join(source, "examples", "play.cpp")
    run("cmake", "--install", build, "--prefix", prefix, stdout=subprocess.DEVNULL)
    if how == "cmake":
        with open(os.path.join(top, "CMakeLists.txt"), "w") as file:
            file.write(CONSUMER.format(example=example))
        run("cmake", "-S", top, "-B", os.path.join(top, "build"), f"-DCMAKE_PREFIX_PATH={prefix}")
        run("cmake", "--build", os.path.join(top, "build"))
        return os.path.join(top, "build", "play")
    env = dict(os.environ, PKG_CONFIG_PATH=os.path.join(prefix, "share", "pkgconfig"))
    flags = run("pkg-config", "--cflags", "--libs", "smfstream", env=env, capture_output=True, text=True).stdout
    run(os.environ.get("CXX", "c++"), "-std=c++17", "-o", os.path.join(top, "play"), example, *flags.split())
    return os.path.join(top, "play")


def pip_installed_version(source, top):
    # This Python, or Debian's, whichever has setuptools and wheel (scripts/install-deps installs them).
    python = next((p for p in (sys.executable, "/usr/bin/python3")
                   if subprocess.run([p, "-c", "import setuptools, wheel, pip"], capture_output=True).returncode == 0), None)
    if not python:
        return ["no Python with pip, setuptools and wheel"]
    copy, target = os.path.join(top, "python"), os.path.join(top, "site")
    shutil.copytree(os.path.join(source, "python"), copy)  # pip leaves its build files beside the sources
    run(python, "-m", "pip", "install", "--no-build-isolation", "--no-index", "--no-deps", "--target", target, copy,
        env=dict(os.environ, PIP_DISABLE_PIP_VERSION_CHECK="1", PIP_ROOT_USER_ACTION="ignore"))
    found = run(python, "-c", "import importlib.metadata as m, smfstream, sys; "
                "print(smfstream.__file__.startswith(sys.argv[1]), smfstream.__version__, m.version('smfstream'))",
                target, env={"PATH": os.environ["PATH"], "PYTHONPATH": target}, cwd=top, capture_output=True,
                text=True).stdout.split()
    return found


def main():
    how, argument, source = sys.argv[1:4]
    with tempfile.TemporaryDirectory() as top:
        try:
            if how == "pip":
                found = pip_installed_version(source, top)
                print(found)
                return 0 if found == ["True", argument, argument] else print(f"FAIL: not smfstream {argument}") or 1
            usage = subprocess.run([built_example(how, argument, source, top)], capture_output=True, text=True)
            print(usage.stderr)
            return 0 if usage.returncode == 2 and "usage:" in usage.stderr else print("FAIL: it does not run") or 1
        except subprocess.CalledProcessError as error:
            print(f"FAIL: {error}")
            return 1


if __name__ == "__main__":
    sys.exit(main())
