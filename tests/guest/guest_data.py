#!/usr/bin/env python3
"""Writes the guest's test data: the files of guest_lib.DATA, which the
host knows too."""
import os
import sys

from guest_lib import DATA

for name, data in DATA.items():
    with open(os.path.join(sys.argv[1], name), "wb") as f:
        f.write(data)
