#!/usr/bin/python3
"""Reads the version resource of a Windows exe as Explorer's details show it, and checks it:
the fixed file and product versions, and the strings ProductName, FileVersion and
ProductVersion. Exits 0 when all name VERSION (major.minor.patch, ".0" for the fourth part).
With --supported-os, checks instead that the exe's manifest names Windows 10 and 11.
Usage: peversion.py EXE VERSION      (Debian's python3-pefile)
       peversion.py EXE --supported-os
"""
import sys

import pefile


WINDOWS_10_AND_11 = "{8e0f7a12-bfb3-4fe8-b9a5-48fd50a15a9a}"


def manifest(pe):
    """The text of the exe's application manifest (resource type 24), or ""."""
    for kind in getattr(pe, "DIRECTORY_ENTRY_RESOURCE", None).entries if hasattr(pe, "DIRECTORY_ENTRY_RESOURCE") else []:
        if kind.id != pefile.RESOURCE_TYPE["RT_MANIFEST"]:
            continue
        for name in kind.directory.entries:
            for language in name.directory.entries:
                data = language.data.struct
                return pe.get_data(data.OffsetToData, data.Size).decode("utf-8", "replace")
    return ""


def main():
    path, version = sys.argv[1], sys.argv[2]
    pe = pefile.PE(path, fast_load=True)
    pe.parse_data_directories(directories=[pefile.DIRECTORY_ENTRY["IMAGE_DIRECTORY_ENTRY_RESOURCE"]])
    if version == "--supported-os":
        text = manifest(pe)
        named = f'<supportedOS Id="{WINDOWS_10_AND_11}"/>' in text
        print(f"{path.split('/')[-1]}: the manifest {'names' if named else 'does not name'} Windows 10 and 11")
        return 0 if named else 1
    if not hasattr(pe, "VS_FIXEDFILEINFO"):
        print(f"{path}: no version resource")
        return 1
    fixed = pe.VS_FIXEDFILEINFO[0]
    def four(ms, ls):
        return f"{ms >> 16}.{ms & 0xFFFF}.{ls >> 16}.{ls & 0xFFFF}"
    strings = {}
    for info in getattr(pe, "FileInfo", [[]])[0]:
        for table in getattr(info, "StringTable", []):
            strings.update({k.decode(): v.decode() for k, v in table.entries.items()})
    found = {"file": four(fixed.FileVersionMS, fixed.FileVersionLS),
             "product": four(fixed.ProductVersionMS, fixed.ProductVersionLS),
             "ProductName": strings.get("ProductName"),
             "FileVersion": strings.get("FileVersion"),
             "ProductVersion": strings.get("ProductVersion")}
    print(f"{path.split('/')[-1]}: {found}")
    wanted = {"file": version + ".0", "product": version + ".0", "ProductName": "Halvex",
              "FileVersion": version, "ProductVersion": version}
    return 0 if found == wanted else 1


if __name__ == "__main__":
    sys.exit(main())
