// What the front end needs of the platform's console and start-up: the
// program's entry, the standard descriptors, the characters that begin an
// option. The build picks
// console_posix.cpp or console_win32.cpp.
#pragma once

// The characters that begin an option on this platform ("-" on POSIX, where
// "/" begins an absolute path; "-" and "/" on Windows).
extern const char option_prefixes[];

// Makes the standard descriptors fit for a run: none left closed for an
// endpoint to take, a reader that went away a failed write rather than an
// ending signal, and standard output fully buffered (the transfers flush
// the dots when they are to be shown).
void console_prepare();

// One run, with the arguments as narrow strings (UTF-8 on Windows), called
// by the platform's entry point. Returns the exit status.
int vesklo_main(int argc, char **argv);
