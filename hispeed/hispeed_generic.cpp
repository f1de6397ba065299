// CPUs without vector loops of their own run the reference loops.
#include "hispeed.h"

void encode_bytes(const std::uint8_t *raw, std::int32_t count, std::uint8_t *code)
{
    encode_bytes_scalar(raw, count, code);
}

std::int32_t decode_bytes(const std::uint8_t *code, std::int32_t pairs, std::uint8_t *raw)
{
    return decode_bytes_scalar(code, pairs, raw);
}

void encode_bytes_baseline(const std::uint8_t *raw, std::int32_t count, std::uint8_t *code)
{
    encode_bytes_scalar(raw, count, code);
}

std::int32_t decode_bytes_baseline(const std::uint8_t *code, std::int32_t pairs, std::uint8_t *raw)
{
    return decode_bytes_scalar(code, pairs, raw);
}
