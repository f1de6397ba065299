#!/usr/bin/env python3
"""Writes the guest's test data: bytes the host suite knows too."""
import os
import sys

from guest_lib import pattern

out = sys.argv[1]
with open(os.path.join(out, "prog"), "wb") as f:
    f.write(pattern(3000))
with open(os.path.join(out, "all256"), "wb") as f:
    f.write(bytes(range(256)) * 8)
