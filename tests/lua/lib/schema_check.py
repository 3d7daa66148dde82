#!/usr/bin/python3
"""Checks JSON documents against a JSON Schema (draft 2020-12).

  schema_check.py SCHEMA DOCUMENT...

Prints "DOCUMENT POINTER MESSAGE" for every violation and exits 1 when any
document has one; exits 2 when the schema itself is not valid. Needs
Debian's python3-jsonschema.
"""
import json
import sys

import jsonschema


def main():
    with open(sys.argv[1]) as source:
        schema = json.load(source)
    try:
        jsonschema.Draft202012Validator.check_schema(schema)
    except jsonschema.SchemaError as error:
        print(sys.argv[1], error.message)
        return 2
    validator = jsonschema.Draft202012Validator(schema)
    status = 0
    for path in sys.argv[2:]:
        with open(path) as source:
            document = json.load(source)
        for error in validator.iter_errors(document):
            print(path, "/".join(str(part) for part in error.absolute_path), error.message)
            status = 1
    return status


if __name__ == "__main__":
    sys.exit(main())
