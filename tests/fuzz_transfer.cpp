// libFuzzer target: any input through c, e and d over in-memory endpoints,
// with read sizes taken from the input. c must copy exactly, e then d must
// give back the input, and d must never write more than half its input. The
// vector code loops must equal the reference loops.
#include <cstdio>
#include <algorithm>
#include <cstdlib>
#include <cstring>

#include "hispeed.h"
#include "transfer.h"
#include "fake_endpoint.h"

namespace {

std::vector<std::uint8_t> run(char command, const std::vector<std::uint8_t> &input,
                              const std::vector<std::int32_t> &read_sizes)
{
    fake = fake_endpoints{};
    fake.input = input;
    fake.read_sizes = read_sizes;
    decode_report report{};
    transfer_result r = transfer_done;
    if (command == 'c') r = copy_file(&fake_source, &fake_destination, no_header);
    if (command == 'e') r = encode_file(&fake_source, &fake_destination, no_header);
    if (command == 'd') r = decode_file(&fake_source, &fake_destination, &report);
    if (r != transfer_done) std::abort();
    return fake.output();
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int *, char ***)
{
    // The transfers print a dot per chunk.
    if (!std::freopen("/dev/null", "w", stdout)) std::abort();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size)
{
    if (size < 1) return 0;
    // The first byte gives up to four read sizes (1 to 4 times a prime).
    std::vector<std::int32_t> sizes;
    for (int i = 0; i < 4; ++i) sizes.push_back(1 + ((data[0] >> (2 * i)) & 3) * 677);
    const std::vector<std::uint8_t> input(data + 1, data + size);
    if (run('c', input, sizes) != input) std::abort();
    const std::vector<std::uint8_t> code = run('e', input, sizes);
    if (code.size() != 2 * input.size()) std::abort();
    for (std::uint8_t b : code)
        if (!(b & 0x80)) std::abort();
    if (run('d', code, sizes) != input) std::abort();
    if (run('d', input, sizes).size() > input.size() / 2) std::abort();
    // The vector loops give the reference loops' bytes and damage counts.
    const std::int32_t n = static_cast<std::int32_t>(std::min<std::size_t>(input.size(), 1024));
    std::uint8_t fast[2048], slow[2048];
    encode_bytes(input.data(), n, fast);
    encode_bytes_scalar(input.data(), n, slow);
    if (std::memcmp(fast, slow, 2 * static_cast<std::size_t>(n)) != 0) std::abort();
    encode_bytes_baseline(input.data(), n, fast);
    if (std::memcmp(fast, slow, 2 * static_cast<std::size_t>(n)) != 0) std::abort();
    const std::int32_t damaged = decode_bytes_scalar(input.data(), n / 2, slow);
    if (decode_bytes(input.data(), n / 2, fast) != damaged ||
        std::memcmp(fast, slow, static_cast<std::size_t>(n / 2)) != 0)
        std::abort();
    if (decode_bytes_baseline(input.data(), n / 2, fast) != damaged ||
        std::memcmp(fast, slow, static_cast<std::size_t>(n / 2)) != 0)
        std::abort();
    return 0;
}
