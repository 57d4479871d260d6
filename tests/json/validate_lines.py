#!/usr/bin/env python3
"""Checks hiddfu's JSON output against the schemas in docs/schema/.

usage: validate_lines.py [--schemas DIR] [--name GLOB] [--require-documents]
                         PATH...

Reads every line of each PATH (a file, a folder searched recursively for
files whose name matches --name, or - for standard input). A line that
begins with "{" is a JSON document: it must parse, hold exactly one
top-level key naming a known document (version, devices, control,
transfer), and be valid against that document's schema. Other lines
(reset's texts, dfufile's descriptions) are not JSON documents and are
skipped. Exits with 1 when any document is invalid, or when
--require-documents is given and no document was found at all.
"""

import argparse
import decimal
import fnmatch
import json
import os
import sys

import jsonschema

DOCUMENTS = ("version", "devices", "control", "transfer")
DEFAULT_SCHEMAS = os.path.join(os.path.dirname(os.path.abspath(__file__)),
                               "..", "..", "docs", "schema")


def load_validators(schema_dir):
    """One draft 2020-12 validator per document kind, by top-level key."""
    validators = {}
    for kind in DOCUMENTS:
        with open(os.path.join(schema_dir, kind + ".schema.json"), encoding="utf-8") as f:
            schema = json.load(f)
        jsonschema.Draft202012Validator.check_schema(schema)
        validators[kind] = jsonschema.Draft202012Validator(schema)
    return validators


def object_without_duplicates(pairs):
    """A JSON object as a dict; a key written twice is an error, where a
    plain parse would keep the last value silently."""
    document = {}
    for key, value in pairs:
        if key in document:
            raise ValueError("key %r written twice" % key)
        document[key] = value
    return document


def problems(line, validators):
    """The reasons `line` is not a valid document; empty when it is one.

    Reals are parsed as decimals, which JSON Schema's "integer" does not
    accept: a state written as 3.0 is an error, as it would be to a reader
    that takes the written form at its word."""
    try:
        document = json.loads(line, parse_float=decimal.Decimal,
                              object_pairs_hook=object_without_duplicates)
    except ValueError as error:
        return ["not JSON: %s" % error]
    if not isinstance(document, dict) or len(document) != 1:
        return ["not an object with exactly one top-level key"]
    (kind,) = document.keys()
    if kind not in validators:
        return ["unknown document %r" % kind]
    return ["%s: %s at /%s" % (kind, error.message, "/".join(str(p) for p in error.absolute_path))
            for error in validators[kind].iter_errors(document)]


def input_files(paths, name_glob):
    for path in paths:
        if os.path.isdir(path):
            for folder, _, names in sorted(os.walk(path)):
                for name in sorted(names):
                    if fnmatch.fnmatch(name, name_glob):
                        yield os.path.join(folder, name)
        else:
            yield path


def read_lines(path):
    if path == "-":
        data = sys.stdin.buffer.read()
    else:
        with open(path, "rb") as f:
            data = f.read()
    # Strict UTF-8: hiddfu writes its documents in UTF-8, so bytes that are
    # not are an error in the document (reported by the caller).
    return data.split(b"\n")


def main(argv):
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--schemas", default=DEFAULT_SCHEMAS)
    parser.add_argument("--name", default="*", help="file name pattern inside folders")
    parser.add_argument("--require-documents", action="store_true")
    parser.add_argument("paths", nargs="+")
    args = parser.parse_args(argv)

    validators = load_validators(args.schemas)
    documents = invalid = 0
    for path in input_files(args.paths, args.name):
        for number, raw in enumerate(read_lines(path), 1):
            raw = raw.rstrip(b"\r")
            if not raw.startswith(b"{"):
                continue
            documents += 1
            try:
                line = raw.decode("utf-8")
            except UnicodeDecodeError as error:
                reasons = ["not UTF-8: %s" % error]
            else:
                reasons = problems(line, validators)
            if reasons:
                invalid += 1
                print("%s:%d: %s" % (path, number, raw.decode("utf-8", "replace")))
                for reason in reasons:
                    print("    " + reason)
    print("%d JSON document(s), %d invalid" % (documents, invalid))
    if args.require_documents and documents == 0:
        print("no JSON documents found in %s" % " ".join(args.paths))
        return 1
    return 1 if invalid else 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
