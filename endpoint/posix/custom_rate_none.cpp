// Systems without a custom-rate interface take the standard rates only.
#include "custom_rate.h"

bool set_custom_rate(int, std::int32_t)
{
    return false;
}

std::int32_t current_custom_rate(int)
{
    return 0;
}

bool is_pseudo_terminal(int)
{
    return false;
}
