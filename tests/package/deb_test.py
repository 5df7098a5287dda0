"""Checks the Debian package that cpack made in DIR:
    deb_test.py lintian DIR   lintian finds no error in it
    deb_test.py plays DIR     unpacked into a temporary root (dpkg-deb -x), its
                              smfstream-play and smfstream play a file into a
                              WAV file, with nothing from the build tree on
                              their paths; the program needs no shared libstdc++;
                              the C++ library's CMake package and pkg-config
                              file are there"""
import array
import glob
import os
import shutil
import struct
import subprocess
import sys
import tempfile
import wave


def the_package(directory):
    found = glob.glob(os.path.join(directory, "smfstream_*.deb"))
    if len(found) != 1:
        sys.exit(f"FAIL: expected one smfstream_*.deb in {directory}, found {found}")
    return found[0]


def lintian(deb):
    if not shutil.which("lintian"):
        print("lintian is not installed (scripts/install-deps installs it)")
        return 77
    run = subprocess.run(["lintian", "--info", "--display-info", deb], capture_output=True, text=True)
    print(run.stdout, run.stderr, sep="")
    errors = [line for line in run.stdout.splitlines() if line.startswith("E:")]
    if errors or run.returncode not in (0, 1) or (run.returncode == 1 and not run.stdout):
        print("FAIL: lintian reports errors")
        return 1
    return 0


def two_seconds_of_notes():
    """Four notes of 95 ticks at 96 ticks a quarter, 120 beats a minute: 2 s."""
    events = bytearray([0x00, 0xC0, 0x00])
    for key in (60, 64, 67, 72):
        events += bytes([0x00, 0x90, key, 100, 0x5F, 0x80, key, 0])
    events += bytes([0x01, 0xFF, 0x2F, 0x00])
    return b"MThd" + struct.pack(">IHHH", 6, 0, 1, 96) + b"MTrk" + struct.pack(">I", len(events)) + bytes(events)


def plays(deb):
    with tempfile.TemporaryDirectory() as top:
        root = os.path.join(top, "root")
        subprocess.run(["dpkg-deb", "-x", deb, root], check=True)
        midi, wav = os.path.join(top, "notes.mid"), os.path.join(top, "notes.wav")
        with open(midi, "wb") as file:
            file.write(two_seconds_of_notes())
        # Only the system's own directories, and the unpacked tree.
        env = {"PATH": "/usr/bin:/bin", "HOME": top, "LANG": "C.UTF-8"}
        run = subprocess.run([os.path.join(root, "usr", "bin", "smfstream-play"), "--wav", wav, "200", midi],
                             cwd=top, env=env, capture_output=True, text=True, timeout=60)
        print(run.stdout, run.stderr, sep="")
        if run.returncode != 0:
            print(f"FAIL: smfstream-play ended with status {run.returncode}")
            return 1
        for wanted in ("usr/share/cmake/smfstream/smfstreamConfig.cmake", "usr/share/pkgconfig/smfstream.pc",
                       "usr/include/smfstream/detail/posix_process.hpp"):
            if not os.path.isfile(os.path.join(root, wanted)):
                print(f"FAIL: the package has no /{wanted}")
                return 1
        if "no MIDI output" in run.stderr:
            print("FAIL: the unpacked smfstream found no sound output")
            return 1
        # The program carries its own C++ runtime; only its sound module needs libstdc++.
        needed = subprocess.run(["readelf", "-d", os.path.join(root, "usr", "bin", "smfstream")],
                                capture_output=True, text=True, check=True).stdout
        if "libstdc++" in needed:
            print("FAIL: the installed smfstream needs the shared libstdc++")
            return 1
        with wave.open(wav) as audio:
            frames = audio.getnframes()
            samples = array.array("h", audio.readframes(frames))
            rate = audio.getframerate()
        loudest = max((abs(s) for s in samples), default=0)
        print(f"{wav}: {frames / rate:.2f} s, loudest sample {loudest}")
        if frames < rate or loudest < 200:
            print("FAIL: the WAV file holds no music")
            return 1
    return 0


def main():
    what, directory = sys.argv[1], sys.argv[2]
    deb = the_package(directory)
    return lintian(deb) if what == "lintian" else plays(deb)


if __name__ == "__main__":
    sys.exit(main())
