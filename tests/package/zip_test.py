"""Checks the Windows zip: one folder holding the 32-bit smfstream.exe,
README.md, LICENSE.txt, the manual as text and the controller library.
    zip_test.py ZIP"""
import struct
import sys
import zipfile


def main():
    zip_path = sys.argv[1]
    with zipfile.ZipFile(zip_path) as archive:
        names = [n for n in archive.namelist() if not n.endswith("/")]
        tops = {n.split("/", 1)[0] for n in names}
        problems = []
        if len(tops) != 1:
            problems.append(f"not one folder: {sorted(tops)}")
        top = sorted(tops)[0]
        wanted = ["smfstream.exe", "README.md", "LICENSE.txt", "smfstream.txt", "include/smfstream/controller.hpp",
                  "include/smfstream/protocol.hpp", "include/smfstream/detail/windows_process.hpp",
                  "share/cmake/smfstream/smfstreamConfig.cmake", "python/smfstream/__init__.py"]
        for name in wanted:
            if f"{top}/{name}" not in names:
                problems.append(f"no {name}")
        if not problems:
            exe = archive.read(f"{top}/smfstream.exe")
            at = struct.unpack_from("<I", exe, 0x3C)[0]
            machine, magic = struct.unpack_from("<H", exe, at + 4)[0], struct.unpack_from("<H", exe, at + 24)[0]
            if exe[at:at + 4] != b"PE\0\0" or machine != 0x014C or magic != 0x010B:
                problems.append("its smfstream.exe is not a 32-bit (PE32, i386) program")
            manual = archive.read(f"{top}/smfstream.txt").decode("ascii")
            for section in ("SYNOPSIS", "CONTROL PROTOCOL", "EXIT STATUS"):
                if section not in manual:
                    problems.append(f"the manual has no {section}")
        print(zip_path, "\n".join(names), sep="\n")
        for problem in problems:
            print("FAIL:", problem)
        return 1 if problems else 0


if __name__ == "__main__":
    sys.exit(main())
