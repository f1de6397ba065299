// The one saved failure of a run: the endpoint operations are called one at
// a time, and main reads it right after the one that failed.
#include "failure_record.h"

#include <cstdio>

namespace {

endpoint_failure failure = {};

}  // namespace

void note_failure(failure_cause cause, int code)
{
    failure = {};
    failure.cause = cause;
    failure.code = code;
}

void note_rate_refused(int code, std::int32_t asked, std::int32_t actual)
{
    note_failure(cause_rate_refused, code);
    failure.rate_asked = asked;
    failure.rate_actual = actual;
}

void note_settings_refused(int code, std::int32_t rate_asked, std::int32_t bits_asked,
                           std::int32_t rate_kept, std::int32_t bits_kept)
{
    note_rate_refused(code, rate_asked, rate_kept);
    failure.cause = cause_settings_refused;
    failure.bits_asked = bits_asked;
    failure.bits_kept = bits_kept;
}

void note_access_refused(int code, bool lacks_read, bool lacks_write, const char *group)
{
    note_failure(cause_system, code);
    failure.lacks_read = lacks_read;
    failure.lacks_write = lacks_write;
    if (group) std::snprintf(failure.granting_group, sizeof failure.granting_group, "%s", group);
}

endpoint_failure last_failure()
{
    return failure;
}
