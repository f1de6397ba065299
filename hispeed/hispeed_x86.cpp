// Vector loops for x86-64: SSE2, which every x86-64 CPU has, an SSSE3
// encode (a byte shuffle looks the 16 codes up at once) and an AVX2 decode
// where the CPU has them. Each block reads its input before writing its output, so the loops
// work in place under the conditions that hispeed.h states.
#include <immintrin.h>

#include "hispeed.h"

namespace {

// Code bytes of 16 nibbles (each byte 0 to 15), from the bit rule: bits 1
// to 3 doubled, bit 7 set. The shifts are 16-bit, but no bit of a nibble
// shifted by at most 3 leaves its byte.
__m128i codes_sse2(__m128i n)
{
    __m128i c = _mm_or_si128(_mm_set1_epi8(static_cast<char>(0x80)), _mm_and_si128(n, _mm_set1_epi8(3)));
    c = _mm_or_si128(c, _mm_slli_epi16(_mm_and_si128(n, _mm_set1_epi8(6)), 1));
    c = _mm_or_si128(c, _mm_slli_epi16(_mm_and_si128(n, _mm_set1_epi8(12)), 2));
    return _mm_or_si128(c, _mm_slli_epi16(_mm_and_si128(n, _mm_set1_epi8(8)), 3));
}

__attribute__((target("ssse3"))) __m128i codes_ssse3(__m128i n)
{
    const __m128i table = _mm_setr_epi8(
        static_cast<char>(0x80), static_cast<char>(0x81), static_cast<char>(0x86),
        static_cast<char>(0x87), static_cast<char>(0x98), static_cast<char>(0x99),
        static_cast<char>(0x9E), static_cast<char>(0x9F), static_cast<char>(0xE0),
        static_cast<char>(0xE1), static_cast<char>(0xE6), static_cast<char>(0xE7),
        static_cast<char>(0xF8), static_cast<char>(0xF9), static_cast<char>(0xFE),
        static_cast<char>(0xFF));
    return _mm_shuffle_epi8(table, n);
}

// One loop body for both: the compiler inlines the code lookup, under the
// SSSE3 target where it is called from there.
template <__m128i (*codes)(__m128i)>
inline __attribute__((always_inline)) std::int32_t encode_blocks(const std::uint8_t *raw, std::int32_t count,
                                                                  std::uint8_t *code)
{
    const __m128i low = _mm_set1_epi8(0x0F);
    std::int32_t i = 0;
    for (; i + 16 <= count; i += 16) {
        const __m128i v = _mm_loadu_si128(reinterpret_cast<const __m128i *>(raw + i));
        const __m128i lo = codes(_mm_and_si128(v, low));
        const __m128i hi = codes(_mm_and_si128(_mm_srli_epi16(v, 4), low));
        _mm_storeu_si128(reinterpret_cast<__m128i *>(code + 2 * i), _mm_unpacklo_epi8(lo, hi));
        _mm_storeu_si128(reinterpret_cast<__m128i *>(code + 2 * i + 16), _mm_unpackhi_epi8(lo, hi));
    }
    return i;
}

std::int32_t encode_sse2(const std::uint8_t *raw, std::int32_t count, std::uint8_t *code)
{
    return encode_blocks<codes_sse2>(raw, count, code);
}

__attribute__((target("ssse3"))) std::int32_t encode_ssse3(const std::uint8_t *raw,
                                                           std::int32_t count, std::uint8_t *code)
{
    return encode_blocks<codes_ssse3>(raw, count, code);
}

// Asked once; plain variables rather than function-local statics, whose
// guards would pull in the C++ runtime library.
int ssse3_known = -1, avx2_known = -1;

bool has_ssse3()
{
    if (ssse3_known < 0) ssse3_known = __builtin_cpu_supports("ssse3") ? 1 : 0;
    return ssse3_known == 1;
}

bool has_avx2()
{
    if (avx2_known < 0) avx2_known = __builtin_cpu_supports("avx2") ? 1 : 0;
    return avx2_known == 1;
}

// The nibbles of 16 code bytes: code bits 0, 1, 3 and 5. The 16-bit shifts
// bring in bits of the next byte only above the bits kept.
__m128i nibbles(__m128i c)
{
    const __m128i b01 = _mm_and_si128(c, _mm_set1_epi8(3));
    const __m128i b2 = _mm_and_si128(_mm_srli_epi16(c, 1), _mm_set1_epi8(4));
    const __m128i b3 = _mm_and_si128(_mm_srli_epi16(c, 2), _mm_set1_epi8(8));
    return _mm_or_si128(b01, _mm_or_si128(b2, b3));
}

// 0xFF (-1) in every byte of c that is a code byte, 0 in the others.
__m128i code_bytes(__m128i c)
{
    const __m128i disagree = _mm_and_si128(_mm_xor_si128(c, _mm_srli_epi16(c, 1)), _mm_set1_epi8(0x2A));
    return _mm_cmpeq_epi8(disagree, _mm_setzero_si128());
}

// The sum of the 16 byte counters of v.
std::int32_t sum_bytes(__m128i v)
{
    const __m128i halves = _mm_sad_epu8(v, _mm_setzero_si128());
    return _mm_cvtsi128_si32(halves) + _mm_extract_epi16(halves, 4);
}

// Two nibbles a 16-bit lane, low first, into the lane's low byte.
__m128i join_pairs(__m128i n)
{
    return _mm_and_si128(_mm_or_si128(n, _mm_srli_epi16(n, 4)), _mm_set1_epi16(0x00FF));
}

__attribute__((target("avx2"))) std::int32_t sum_bytes_avx2(__m256i v)
{
    const __m256i sums = _mm256_sad_epu8(v, _mm256_setzero_si256());
    return _mm256_extract_epi32(sums, 0) + _mm256_extract_epi32(sums, 2) + _mm256_extract_epi32(sums, 4) +
           _mm256_extract_epi32(sums, 6);
}

// decode_bytes_baseline in AVX2, 32 pairs a block. Returns the pairs done
// and adds the damaged code bytes among them to *damaged.
__attribute__((target("avx2"))) std::int32_t decode_avx2(const std::uint8_t *code, std::int32_t pairs,
                                                         std::uint8_t *raw, std::int32_t *damaged)
{
    const __m256i zero = _mm256_setzero_si256();
    std::int32_t good = 0, j = 0;
    __m256i counters = zero;
    for (int blocks = 0; j + 32 <= pairs; j += 32) {
        __m256i c[2], joined[2];
        for (int k = 0; k < 2; ++k) {
            c[k] = _mm256_loadu_si256(reinterpret_cast<const __m256i *>(code + 2 * j + 32 * k));
            const __m256i disagree = _mm256_and_si256(_mm256_xor_si256(c[k], _mm256_srli_epi16(c[k], 1)),
                                                      _mm256_set1_epi8(0x2A));
            counters = _mm256_sub_epi8(counters, _mm256_cmpeq_epi8(disagree, zero));
            const __m256i n = _mm256_or_si256(
                _mm256_and_si256(c[k], _mm256_set1_epi8(3)),
                _mm256_or_si256(_mm256_and_si256(_mm256_srli_epi16(c[k], 1), _mm256_set1_epi8(4)),
                                _mm256_and_si256(_mm256_srli_epi16(c[k], 2), _mm256_set1_epi8(8))));
            joined[k] = _mm256_and_si256(_mm256_or_si256(n, _mm256_srli_epi16(n, 4)), _mm256_set1_epi16(0x00FF));
        }
        if (++blocks == 127) {
            good += sum_bytes_avx2(counters);
            counters = zero;
            blocks = 0;
        }
        // The pack works within each 128-bit half; the permute puts the
        // four quarters back in order.
        const __m256i packed = _mm256_packus_epi16(joined[0], joined[1]);
        _mm256_storeu_si256(reinterpret_cast<__m256i *>(raw + j), _mm256_permute4x64_epi64(packed, 0xD8));
    }
    good += sum_bytes_avx2(counters);
    *damaged += 2 * j - good;
    return j;
}

}  // namespace

void encode_bytes(const std::uint8_t *raw, std::int32_t count, std::uint8_t *code)
{
    if (!has_ssse3()) return encode_bytes_baseline(raw, count, code);
    const std::int32_t done = encode_ssse3(raw, count, code);
    encode_bytes_scalar(raw + done, count - done, code + 2 * done);
}

void encode_bytes_baseline(const std::uint8_t *raw, std::int32_t count, std::uint8_t *code)
{
    const std::int32_t done = encode_sse2(raw, count, code);
    encode_bytes_scalar(raw + done, count - done, code + 2 * done);
}

std::int32_t decode_bytes(const std::uint8_t *code, std::int32_t pairs, std::uint8_t *raw)
{
    if (!has_avx2()) return decode_bytes_baseline(code, pairs, raw);
    std::int32_t damaged = 0;
    const std::int32_t done = decode_avx2(code, pairs, raw, &damaged);
    return damaged + decode_bytes_baseline(code + 2 * done, pairs - done, raw + done);
}

std::int32_t decode_bytes_baseline(const std::uint8_t *code, std::int32_t pairs, std::uint8_t *raw)
{
    // Good code bytes are counted in byte lanes, 2 a block, emptied before
    // they could overflow.
    std::int32_t good = 0, j = 0;
    __m128i counters = _mm_setzero_si128();
    for (int blocks = 0; j + 16 <= pairs; j += 16) {
        const __m128i c0 = _mm_loadu_si128(reinterpret_cast<const __m128i *>(code + 2 * j));
        const __m128i c1 = _mm_loadu_si128(reinterpret_cast<const __m128i *>(code + 2 * j + 16));
        counters = _mm_sub_epi8(_mm_sub_epi8(counters, code_bytes(c0)), code_bytes(c1));
        if (++blocks == 127) {
            good += sum_bytes(counters);
            counters = _mm_setzero_si128();
            blocks = 0;
        }
        const __m128i out = _mm_packus_epi16(join_pairs(nibbles(c0)), join_pairs(nibbles(c1)));
        _mm_storeu_si128(reinterpret_cast<__m128i *>(raw + j), out);
    }
    good += sum_bytes(counters);
    return 2 * j - good + decode_bytes_scalar(code + 2 * j, pairs - j, raw + j);
}
