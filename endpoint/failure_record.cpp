// The one saved failure of a run: the endpoint operations are called one at
// a time, and main reads it right after the one that failed.
#include "failure_record.h"

namespace {

endpoint_failure failure = {cause_system, 0, 0, 0, 0, 0};

}  // namespace

void note_failure(failure_cause cause, int code)
{
    failure = {cause, code, 0, 0, 0, 0};
}

void note_rate_refused(int code, std::int32_t asked, std::int32_t actual)
{
    failure = {cause_rate_refused, code, asked, actual, 0, 0};
}

void note_settings_refused(int code, std::int32_t rate_asked, std::int32_t bits_asked,
                           std::int32_t rate_kept, std::int32_t bits_kept)
{
    failure = {cause_settings_refused, code, rate_asked, rate_kept, bits_asked, bits_kept};
}

endpoint_failure last_failure()
{
    return failure;
}
