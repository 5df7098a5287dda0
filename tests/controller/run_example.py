"""Runs one of the examples (the command line after the arguments) with two
short files on the trace device, and checks that it switched, turned the
volume down and stopped the player cleanly."""
import os
import subprocess
import sys
import tempfile

from songs import short_song


def main():
    command = sys.argv[1:]
    with tempfile.TemporaryDirectory() as directory:
        paths = []
        for name, key in (("first.mid", 60), ("second.mid", 72)):
            paths.append(os.path.join(directory, name))
            with open(paths[-1], "wb") as file:
                file.write(short_song(key))
        trace = os.path.join(directory, "trace")
        env = dict(os.environ, SMFSTREAM_DEVICE="trace:" + trace)
        run = subprocess.run(command + paths + ["2"], env=env, capture_output=True, text=True, timeout=60)
        print(run.stdout, run.stderr, sep="")
        with open(trace) as file:
            lines = file.read().splitlines()
        problems = []
        if run.returncode != 0:
            problems.append(f"exit status {run.returncode}")
        if "smfstream ended: exit status 0" not in run.stdout:
            problems.append("the player did not end with status 0")
        if "volume 00006464" not in lines:
            problems.append("no volume 100 on the trace")
        if not any(line.startswith("ev ") and line.endswith("644890") for line in lines):
            problems.append("the second file's note never played")
        for problem in problems:
            print("FAIL:", problem)
        return 1 if problems else 0


if __name__ == "__main__":
    sys.exit(main())
