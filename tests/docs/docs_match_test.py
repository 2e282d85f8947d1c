#!/usr/bin/env python3
"""README, the manual page and --help say what the build and the code do: README's install
lines are the packages scripts/common.sh installs to build, and every option of --help is in
README's synopsis and in tessel-serverd(8), with the journal lines and exit codes they name.

    docs_match_test.py --service PATH
"""
import argparse
import os
import re
import subprocess
import sys

TOP = os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "..")
failures = []


def check(condition, message):
    if not condition:
        failures.append(message)


def build_packages():
    out = subprocess.run(["bash", "-c", '. scripts/common.sh && echo "${BUILD_PACKAGES[@]}"'], cwd=TOP,
                         capture_output=True, text=True, check=True).stdout
    return set(out.split())


def install_lines(readme):
    section = readme.split("### From the source, without a package", 1)[1].split("\n### ", 1)[0]
    section = section.replace("\\\n", " ")  # continued lines
    return [set(line.split("apt-get install", 1)[1].split()) for line in section.splitlines()
            if line.startswith("sudo apt-get install")]


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--service", required=True)
    args = parser.parse_args()
    with open(os.path.join(TOP, "README.md"), encoding="utf-8") as f:
        readme = f.read()
    with open(os.path.join(TOP, "docs", "man", "tessel-serverd.8"), encoding="utf-8") as f:
        manual = f.read().replace("\\-", "-")

    packages = build_packages()
    lines = install_lines(readme)
    check(len(lines) == 2, "README's \"From the source\" has %d install lines, not 2" % len(lines))
    if len(lines) == 2:
        check(lines[0] == packages, "README installs %s, the build needs %s" % (sorted(lines[0]), sorted(packages)))
        check(lines[1] == packages - {"libgtk2.0-dev"},
              "README's line without the window installs %s" % sorted(lines[1]))

    usage = subprocess.run([args.service, "--help"], capture_output=True, text=True).stdout
    options = set(re.findall(r"--[a-z][a-z-]*", usage))
    check(len(options) >= 12, "--help names only %s" % sorted(options))
    synopsis = readme.split("tessel-serverd [--config FILE]", 1)[1].split("```", 1)[0]
    man_synopsis = manual.split(".SH SYNOPSIS", 1)[1].split(".SH DESCRIPTION", 1)[0]
    man_options = manual.split(".SH OPTIONS", 1)[1].split(".SH ", 1)[0]
    for option in sorted(options - {"--config"}):
        check(option in synopsis, "README's synopsis lacks " + option)
    for option in sorted(options):
        check(option in man_synopsis, "tessel-serverd(8)'s synopsis lacks " + option)
        check(option in man_options, "tessel-serverd(8) does not describe " + option)

    # What the journal says and the exit codes, as the code has them.
    for word in ("refused", "stopped", "lost", "back"):
        check(word in readme.split("### The service", 1)[1].split("####", 1)[0], "README's service part lacks '%s'" % word)
        check(word in manual.split(".SH OUTPUT", 1)[1].split(".SH ", 1)[0], "tessel-serverd(8)'s OUTPUT lacks '%s'" % word)
    exits = manual.split(".SH EXIT STATUS", 1)[1].split(".SH ", 1)[0]
    for said in ("configuration", "--config", "RestartPreventExitStatus=2", "group or others", "certificate"):
        check(said in exits, "tessel-serverd(8)'s EXIT STATUS lacks '%s'" % said)
    check("2 a usage error or a configuration that will not do" in usage, "--help's exit codes")
    check("2 for what no restart mends" in readme, "README's exit codes")

    for failure in failures:
        print("FAIL " + failure)
    print("%d passed, %d failed" % (1 if not failures else 0, 1 if failures else 0))
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main())
