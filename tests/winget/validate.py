#!/usr/bin/python3
"""Validates the winget manifests in packaging/winget/ against winget's own JSON schemas
(shared/winget-schema/, beside the repository), and checks that the three belong together and to
this Halvex: one package and version, the version that CMakeLists.txt sets, the setup's entry
among the installed programs as the product code, and a SHA-256 for the installer.
Closes with "winget manifests: N valid" (N = 3 when all hold), or names each problem.
Usage: tests/winget/validate.py [MANIFEST_DIR [SCHEMA_DIR]]
Needs Debian's python3-jsonschema and python3-yaml (run it with /usr/bin/python3).
"""
import glob
import json
import os
import re
import sys

import jsonschema
import yaml

ROOT = os.path.normpath(os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", ".."))


def main():
    manifests = sys.argv[1] if len(sys.argv) > 1 else os.path.join(ROOT, "packaging", "winget")
    schemas = sys.argv[2] if len(sys.argv) > 2 else os.path.join(ROOT, "..", "shared", "winget-schema")
    problems, valid, seen = [], 0, {}
    for path in sorted(glob.glob(os.path.join(manifests, "*.yaml"))):
        name = os.path.basename(path)
        with open(path, encoding="utf-8") as f:
            manifest = yaml.safe_load(f)
        kind = manifest.get("ManifestType") if isinstance(manifest, dict) else None
        schema_path = os.path.join(schemas, f"manifest.{kind}.{manifest.get('ManifestVersion') if kind else ''}.json")
        if not kind or not os.path.exists(schema_path):
            problems.append(f"{name}: no schema for ManifestType {kind!r}")
            continue
        with open(schema_path, encoding="utf-8") as f:
            schema = json.load(f)
        errors = sorted(jsonschema.Draft7Validator(schema).iter_errors(manifest), key=str)
        for error in errors:
            where = "/".join(str(p) for p in error.absolute_path) or "(top)"
            problems.append(f"{name}: {where}: {error.message}")
        if not errors:
            valid += 1
        seen[kind] = manifest

    for kind in ("version", "installer", "defaultLocale"):
        if kind not in seen:
            problems.append(f"no {kind} manifest in {manifests}")
    ids = {m.get("PackageIdentifier") for m in seen.values()}
    versions = {str(m.get("PackageVersion")) for m in seen.values()}
    if len(ids) > 1 or len(versions) > 1:
        problems.append(f"the manifests name different packages or versions: {ids} {versions}")
    with open(os.path.join(ROOT, "CMakeLists.txt"), encoding="utf-8") as f:
        cmake = re.search(r'set\(HALVEX_VERSION ([0-9.]+)\)', f.read())
    if cmake and versions and versions != {cmake.group(1)}:
        problems.append(f"the manifests are for {versions}, CMakeLists.txt sets {cmake.group(1)}: "
                        "run scripts/package-windows")
    with open(os.path.join(ROOT, "packaging", "windows", "halvex.nsi"), encoding="utf-8") as f:
        key = re.search(r'!define UNINSTALL_KEY ".*\\([^\\"]+)"', f.read()).group(1)
    installer = seen.get("installer", {})
    codes = [installer.get("ProductCode")] + [e.get("ProductCode") for e in installer.get("AppsAndFeaturesEntries") or []]
    if any(code != key for code in codes):
        problems.append(f"the product code {codes} is not the setup's entry {key!r}")
    for entry in installer.get("Installers") or []:
        if not re.fullmatch(r"[0-9A-Fa-f]{64}", str(entry.get("InstallerSha256", ""))):
            problems.append("an installer without a SHA-256")

    for problem in problems:
        print("FAILED " + problem)
    print(f"winget manifests: {valid} valid" + (f", {len(problems)} problems" if problems else ""))
    return 1 if problems or valid != 3 else 0


if __name__ == "__main__":
    sys.exit(main())
