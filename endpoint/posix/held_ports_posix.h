// The ports that this run holds (at most its two ends), and giving them up
// when a signal ends the run. A port is noted when it is opened, before it
// is configured, so that a signal at any later moment finds it.
#pragma once

#include "endpoint.h"

// Notes fd, an open port called name, as the run's; the first time, also
// catches the signals that end a run, so that they give the ports up.
void hold_port(int fd, const char *name);

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

// Clears fd's exclusive use, forgets it and closes it, with the ending
// signals held back meanwhile, so that a signal finds the port either
// still the run's, to give up, or closed. Returns what close returned,
// errno with it.
int release_port(int fd);
