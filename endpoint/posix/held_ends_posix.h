// What this run holds (at most its two ends, disk files and ports), and
// giving the ports up when a signal ends the run. An end is noted as soon
// as it is open, a port before it is configured, so that a signal at any
// later moment finds it; it is forgotten as it is closed.
#pragma once

#include <sys/stat.h>

#include "endpoint.h"

// Notes fd as an end of this run: a port called port_name, or a disk file
// when port_name is null. The first port also has the signals that end a
// run caught, so that they give the ports up.
void hold_end(int fd, const char *port_name);

// True when this run holds the file or device st already, as its other end.
bool held_by_run(const struct stat &st);

// The name of the port fd, or null when fd is no port of this run.
const char *held_port_name(int fd);

// Notes what the port fd, held by this run, kept of its settings.
void note_held_port_kept(int fd, const kept_settings &kept);

// What the port fd kept of its settings; all zero for no port of this run.
kept_settings held_port_kept(int fd);

// Notes how long the close of the port fd, held by this run, pauses after
// its drain, in ms.
void note_held_port_pause(int fd, int pause_ms);

// That pause; 100 ms where none was noted.
int held_port_pause_ms(int fd);

// Notes that data has arrived on the port fd: from now on silence ends
// its input.
void note_data_arrived(int fd);

// True when data has arrived on the port fd in this run.
bool data_has_arrived(int fd);

// Forgets fd and closes it; a port also has its exclusive use cleared,
// with the ending signals held back meanwhile, so that a signal finds it
// either still the run's, to give up, or closed. Returns what close
// returned, errno with it.
int release_end(int fd);
