"""Command line of the readers: ``python3 -m native_ocr --help``."""

import sys


def main(argv=None):
    print("usage: python3 -m native_ocr ...", file=sys.stderr)
    return 2


if __name__ == "__main__":
    sys.exit(main())
