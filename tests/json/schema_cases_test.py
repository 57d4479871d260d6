#!/usr/bin/env python3
"""The schemas in docs/schema/ against lines known to be valid or invalid:
each schema must accept what hiddfu writes and reject what it never writes.

usage: schema_cases_test.py [SCHEMA_DIR]"""

import contextlib
import io
import os
import sys
import tempfile

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import validate_lines  # noqa: E402

T = '{"transfer": {"identifier": "1234-5678-0000", "progress": %s, "state": %s, "error": %s}}'
C = '{"control": [%s]}'

VALID = [
    '{"version": {"major": 1, "minor": 0, "qualifier": "win32beta1", "hid_dfu_dll_version": "1.0.0 (1)"}}',
    '{"version": {"qualifier": "", "minor": 0, "major": 1, "hid_dfu_dll_version": "65535.0.0 (65535)"}}',
    '{"devices": []}',
    '{"devices": [{"identifier": "1234-5678-0000", "idVendor": 4660, "idProduct": 22136}, '
    '{"identifier": "1234-5678-0000", "idVendor": 4660, "idProduct": 22136}]}',
    '{"devices": [{"identifier": "ffff-0001-0000", "idVendor": 65535, "idProduct": 1}]}',
    C % '{"request": "name", "response": "", "error": null}',
    C % '{"request": null, "response": null, "error": "Unable to connect to device"}',
    C % '{"request": "version", "response": "\ufffd\ufffdA\ufffd\ufffd\ufffd\ufffd", "error": null}',
    C % '{"request": "名前", "response": "ß\\"\\n", "error": null}',
    T % ("0.0", "-1", '"Unable to load firmware file"'),
    T % ("37.0", "3", "null"),
    T % ("100.0", "0", "null"),
    T % ("0.0", "1", "null"),
    '{"transfer": {"identifier": "", "progress": 12.5, "state": -1, "error": "Upgrade failed (-7)"}}',
    '{"transfer": {"identifier": "1234-5678-日本", "progress": 0.0, "state": -1, "error": "x"}}',
]

INVALID = [
    # not a document at all
    '{}',
    '{"version": {"major": 1, "minor": 0, "qualifier": "q", "hid_dfu_dll_version": "1.0.0 (1)"}, "devices": []}',
    '{"status": {}}',
    '{"devices": []',
    '{"devices": [], "devices": []}',
    # version
    '{"version": {"major": 1, "minor": 0, "qualifier": "q"}}',
    '{"version": {"major": "1", "minor": 0, "qualifier": "q", "hid_dfu_dll_version": "1.0.0 (1)"}}',
    '{"version": {"major": 1.0, "minor": 0, "qualifier": "q", "hid_dfu_dll_version": "1.0.0 (1)"}}',
    '{"version": {"major": 1, "minor": 0, "qualifier": "q", "hid_dfu_dll_version": "1.0.0"}}',
    '{"version": {"major": 1, "minor": 0, "qualifier": "q", "hid_dfu_dll_version": "1.0.0 (1)", "x": 1}}',
    # devices
    '{"devices": {}}',
    '{"devices": [{"identifier": "1234-5678-0000", "idVendor": 4660}]}',
    '{"devices": [{"identifier": "1234-5678-0001", "idVendor": 4660, "idProduct": 22136}]}',
    '{"devices": [{"identifier": "ABCD-5678-0000", "idVendor": 43981, "idProduct": 22136}]}',
    '{"devices": [{"identifier": "1234-5678-0000", "idVendor": 65536, "idProduct": 22136}]}',
    '{"devices": [{"identifier": "1234-5678-0000", "idVendor": "4660", "idProduct": 22136}]}',
    # control
    '{"control": []}',
    C % '{"request": "name", "response": ""}',
    C % '{"request": "version", "error": null}',  # every member is always written
    C % '{"request": "name", "response": "", "error": null, "status": 0}',
    C % '{"request": 1, "response": "", "error": null}',
    C % '{"request": "name", "response": "", "error": false}',
    # transfer
    '{"transfer": {"identifier": "1234-5678-0000", "state": 3, "error": null}}',
    T % ("37.0", "3.0", "null"),
    T % ("37.0", '"3"', "null"),
    T % ("101.0", "3", "null"),
    T % ("-1.0", "3", "null"),
    T % ("37.0", "5", "null"),
    T % ("37.0", "-2", "null"),
    T % ("0.0", "-1", "null"),
    T % ("0.0", "-1", '""'),
    T % ("37.0", "3", '"Upgrade failed (3)"'),
    T % ("100.0", "0", '"x"'),
    '{"transfer": {"identifier": null, "progress": 0.0, "state": 1, "error": null}}',
    '{"transfer": {"identifier": "", "progress": 0.0, "state": 1, "error": null, "extra": 0}}',
]


# Whole outputs through the command line of the validator: what it skips,
# what it rejects, and that it fails when it finds nothing to check.
OUTPUTS = [
    (b"Resetting device...\n" + VALID[2].encode() + b"\r\n", [], 0),
    (b"Firmware object @ 0x1: a.dfu\n  VendorID:        0x1234\n", [], 0),
    (b"Firmware object @ 0x1: a.dfu\n", ["--require-documents"], 1),
    (b'{"control": [{"request": "\xff", "error": null}]}\n', [], 1),
    (VALID[0].encode() + b"\n" + INVALID[1].encode() + b"\n", ["--require-documents"], 1),
]


def check_outputs(schema_dir):
    failures = 0
    with tempfile.TemporaryDirectory() as folder:
        path = os.path.join(folder, "stdout")
        for content, options, expected in OUTPUTS:
            with open(path, "wb") as f:
                f.write(content)
            with contextlib.redirect_stdout(io.StringIO()):
                status = validate_lines.main(["--schemas", schema_dir] + options + [folder])
            if status != expected:
                failures += 1
                print("validator exit status %d, expected %d, for %r %s"
                      % (status, expected, content, options))
    return failures


def main(argv):
    schema_dir = argv[0] if argv else validate_lines.DEFAULT_SCHEMAS
    validators = validate_lines.load_validators(schema_dir)
    failures = 0
    for line in VALID:
        reasons = validate_lines.problems(line, validators)
        if reasons:
            failures += 1
            print("valid line rejected: %s\n    %s" % (line, "\n    ".join(reasons)))
    for line in INVALID:
        if not validate_lines.problems(line, validators):
            failures += 1
            print("invalid line accepted: %s" % line)
    print("%d valid and %d invalid lines, %d misjudged" % (len(VALID), len(INVALID), failures))
    failures += check_outputs(schema_dir)
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
