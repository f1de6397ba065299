// The failure of the endpoint operation under way, saved by the platform's
// files where it happened, before a close or a printf could change the
// system's error code; last_failure (endpoint.h) reads it back.
#pragma once

#include <cstdint>

#include "endpoint.h"

// Saves a failure with the system's code (errno, or GetLastError() on
// Windows; 0 when there is none).
void note_failure(failure_cause cause, int code);

// Saves a rate the port refused: the rate asked for and the rate the port
// runs at (0 when unknown), with the system's code.
void note_rate_refused(int code, std::int32_t asked, std::int32_t actual);

// Saves settings the port refused as a whole: the rate and data bits asked
// for and those the port kept (0 when unknown), with the system's code.
void note_settings_refused(int code, std::int32_t rate_asked, std::int32_t bits_asked,
                           std::int32_t rate_kept, std::int32_t bits_kept);

// Saves a device refused for want of access (read, write or both), with
// the group whose members have what it lacks, or null when joining none
// would help.
void note_access_refused(int code, bool lacks_read, bool lacks_write, const char *group);
