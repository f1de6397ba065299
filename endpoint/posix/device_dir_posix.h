// Where a missing file would be made, and whether that is where only the
// kernel makes device nodes: /dev itself, and /dev/serial with what is
// below it. A regular file made there for a USB adapter that is unplugged
// would take the place of its device node.
#pragma once

#include <cstddef>

// Finds where a missing file called name would be made: every link of its
// last component followed, as an open would follow it. Returns that
// directory, open with O_PATH, and writes the last component into leaf;
// *device_dir says whether the directory (or, where it is itself missing,
// the path to it) lies in /dev itself or under /dev/serial/, judged by
// identity, so that a link or a bind mount to them counts. Returns -1 with
// errno set when there is no such directory (*device_dir is still set) or
// the links loop.
int creation_place(const char *name, char *leaf, std::size_t size, bool *device_dir);
