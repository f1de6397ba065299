// What this run holds: the exclusive lock on each end, and the ports where
// the handler of the ending signals finds them to give them up. A port is
// noted as soon as it is open, before it is configured, so that a signal at
// any later moment finds it; it is forgotten as it is closed.
#pragma once

#include <sys/stat.h>

#include "endpoint.h"

// True when other is an open end of this run and is the file or device st.
bool is_other_end(const struct stat &st, const endpoint *other);

// Takes fd's exclusive flock. Returns false, fd left open, with the refusal
// noted: the same file as the other end, or one that another program holds.
bool lock_end(int fd, const endpoint *other);

// Notes the refusal of a terminal st whose open was refused for exclusive
// use (which only root opens past): the other end of this run, another run
// (its lock is there), or, with no lock on it, another program or a port
// that a run which lost its line left exclusive (after a hang-up the kernel
// keeps it so until every program holding the port has closed it).
void note_exclusive(const struct stat &st, const endpoint *other);

// Notes why the open of path failed with code: for a device refused for
// want of access, which access it lacks and the group that would grant it.
void note_open_refused(const char *path, int code);

// Notes fd as a port of this run, before its settings change; the first
// also has the signals that end a run caught, so that they give the ports
// up. A port that is the run's own controlling terminal has its settings
// noted, to be put back when it is given up.
void hold_port(int fd);

// Forgets the port fd and closes it, its exclusive use cleared and, on
// the run's own terminal, the settings found put back, with the ending
// signals held back meanwhile, so that a signal finds it either still the
// run's, to give up, or closed. Returns what close returned, errno with it.
int release_port(int fd);
