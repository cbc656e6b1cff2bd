#!/usr/bin/env python3
"""One stage's result from CTest's XML: the JUnit file of `ctest --output-junit`
(CMake 3.21 and later) or, from the older CTest of a Debian 11 root, the
Test.xml that `ctest -T Test` writes under Testing/.

    ctest-summary.py FILE

Prints three lines: "PASSED FAILED SKIPPED TOTAL", the names of the failed
tests and the names of the skipped ones (blank-separated, possibly empty).
Exit status 2 when the file is missing or not one of the two forms.
"""
import sys
import xml.etree.ElementTree as ET


def junit(root):
    passed, failed, skipped = [], [], []
    for case in root.iter("testcase"):
        name = case.get("name", "?")
        status = case.get("status", "")
        if case.find("skipped") is not None or status in ("notrun", "disabled"):
            skipped.append(name)
        elif case.find("failure") is not None or case.find("error") is not None or status == "fail":
            failed.append(name)
        else:
            passed.append(name)
    return passed, failed, skipped


def dart(root):
    passed, failed, skipped = [], [], []
    for test in root.iter("Test"):
        status = test.get("Status")
        if status is None:  # the list of test names at the top of the file
            continue
        name = test.findtext("Name", "?")
        completion = ""
        for measurement in test.iter("NamedMeasurement"):
            if measurement.get("name") == "Completion Status":
                completion = measurement.findtext("Value", "")
        if status == "passed":
            passed.append(name)
        elif status == "notrun" and (completion.startswith("SKIP_") or completion == "Disabled"):
            skipped.append(name)
        else:
            failed.append(name)
    return passed, failed, skipped


def main():
    if len(sys.argv) != 2:
        print(__doc__, file=sys.stderr)
        return 2
    try:
        root = ET.parse(sys.argv[1]).getroot()
    except (OSError, ET.ParseError) as error:
        print(f"ctest-summary: {error}", file=sys.stderr)
        return 2
    if root.tag in ("testsuite", "testsuites"):
        passed, failed, skipped = junit(root)
    elif root.tag == "Site":
        passed, failed, skipped = dart(root)
    else:
        print(f"ctest-summary: {sys.argv[1]} is no CTest result", file=sys.stderr)
        return 2
    total = len(passed) + len(failed) + len(skipped)
    print(len(passed), len(failed), len(skipped), total)
    print(" ".join(failed))
    print(" ".join(skipped))
    return 0


if __name__ == "__main__":
    sys.exit(main())
