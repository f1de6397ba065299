#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "transfer.h"
#include "fake_endpoint.h"
#include "hispeed_codes.h"

namespace {

using bytes = std::vector<std::uint8_t>;

bytes pattern(std::size_t n)
{
    bytes b(n);
    for (std::size_t i = 0; i < n; ++i) b[i] = static_cast<std::uint8_t>(i * 7 + i / 256);
    return b;
}

bytes encoded(const bytes &raw)
{
    bytes out;
    for (std::uint8_t b : raw) {
        out.push_back(hispeed_codes[b & 15]);
        out.push_back(hispeed_codes[b >> 4]);
    }
    return out;
}

enum kind { copy, encode, decode };

struct outcome {
    transfer_result result;
    std::string printed;
    decode_report report;
};

outcome run(kind k, const bytes &input, std::int32_t start = no_header,
            std::vector<std::int32_t> read_sizes = {})
{
    fake = fake_endpoints{};
    fake.input = input;
    fake.read_sizes = std::move(read_sizes);
    testing::internal::CaptureStdout();
    decode_report report{};
    transfer_result r = transfer_done;
    if (k == copy) r = copy_file(&fake_source, &fake_destination, start);
    if (k == encode) r = encode_file(&fake_source, &fake_destination, start);
    if (k == decode) r = decode_file(&fake_source, &fake_destination, &report);
    return {r, testing::internal::GetCapturedStdout(), report};
}

std::string dots(int n)
{
    return std::string(static_cast<std::size_t>(n), '.');
}

}  // namespace

TEST(Transfer, ChunksAndDots)
{
    const struct {
        kind k;
        std::size_t length;
        int chunks;
    } cases[] = {
        {copy, 0, 0},    {copy, 1, 1},    {copy, 2048, 1},   {copy, 2049, 2},
        {copy, 5000, 3}, {encode, 0, 0},  {encode, 1024, 1}, {encode, 1025, 2},
        {decode, 0, 0},  {decode, 2048, 1}, {decode, 4097, 3},
    };
    for (const auto &c : cases) {
        const bytes input = pattern(c.length);
        const outcome o = run(c.k, input);
        EXPECT_EQ(o.result, transfer_done);
        EXPECT_EQ(o.printed, dots(c.chunks)) << c.k << " " << c.length;
        EXPECT_EQ(fake.writes.size(), static_cast<std::size_t>(c.chunks));
        std::size_t expected = c.length;
        if (c.k == encode) expected = 2 * c.length;
        if (c.k == decode) expected = c.length / 2;
        EXPECT_EQ(fake.output().size(), expected) << c.k << " " << c.length;
        if (c.k == copy) {
            EXPECT_EQ(fake.output(), input);
        } else if (c.k == encode) {
            EXPECT_EQ(fake.output(), encoded(input));
        }
    }
}

TEST(Transfer, EncodeThenDecodeGivesTheInput)
{
    const bytes input = pattern(5000);
    run(encode, input);
    const bytes code = fake.output();
    run(decode, code);
    EXPECT_EQ(fake.output(), input);
    run(encode, bytes{'a', 'b', 'c'});
    EXPECT_EQ(fake.output(), (bytes{0x81, 0x9E, 0x86, 0x9E, 0x87, 0x9E}));
}

TEST(Transfer, HeaderBytesAndLine)
{
    const struct {
        std::int32_t start, size;
        bytes header;
        const char *line;
    } cases[] = {
        {0x100, 20, {0x00, 0x01, 0x14, 0x01}, "start=0100 end=0114"},
        {-2, 20, {0xFE, 0x00, 0x12, 0x00}, "start=fffffffe end=0012"},
        {0x8000, 0, {0x00, 0x80, 0x00, 0x80}, "start=8000 end=8000"},
        {0xFFF0, 0x20, {0xF0, 0xFF, 0x10, 0x00}, "start=fff0 end=10010"},
        {0, -1, {0x00, 0x00, 0xFF, 0x00}, "start=0000 end=ffffffff"},  // failed size query
        {-0x1FF, 0, {0x01, 0xFF, 0x01, 0xFF}, "start=fffffe01 end=fffffe01"},
        {INT32_MAX, 1, {0xFF, 0xFF, 0x00, 0x00}, "start=7fffffff end=80000000"},
    };
    for (const auto &c : cases) {
        fake = fake_endpoints{};
        fake.input = pattern(c.size > 0 ? static_cast<std::size_t>(c.size) : 0);
        fake.size = c.size;
        testing::internal::CaptureStdout();
        copy_file(&fake_source, &fake_destination, c.start);
        const std::string printed = testing::internal::GetCapturedStdout();
        ASSERT_FALSE(fake.writes.empty());
        EXPECT_EQ(fake.writes[0], c.header) << c.line;
        EXPECT_EQ(printed.substr(0, printed.find('\n')),
                  std::string("Make LOADM Header ") + c.line);
        bytes expected = c.header;
        expected.insert(expected.end(), fake.input.begin(), fake.input.end());
        EXPECT_EQ(fake.output(), expected);
    }
}

TEST(Transfer, EncodeWithHeaderAndDecodeKeepsIt)
{
    const bytes input = pattern(20);
    const outcome o = run(encode, input, 0x100);
    EXPECT_EQ(o.printed, "Make LOADM Header start=0100 end=0114\n..");
    bytes expected = {0x80, 0x80, 0x81, 0x80, 0x98, 0x81, 0x81, 0x80};
    const bytes data = encoded(input);
    expected.insert(expected.end(), data.begin(), data.end());
    EXPECT_EQ(fake.output(), expected);
    run(decode, expected);
    bytes with_header = {0x00, 0x01, 0x14, 0x01};
    with_header.insert(with_header.end(), input.begin(), input.end());
    EXPECT_EQ(fake.output(), with_header);
    EXPECT_EQ(run(encode, {}, 0x100).printed, "Make LOADM Header start=0100 end=0100\n.");
}

TEST(Transfer, DecodeCarriesOddBytesAcrossChunks)
{
    const bytes input = pattern(3000);
    const bytes code = encoded(input);
    const std::vector<std::vector<std::int32_t>> bursts = {
        {1}, {3}, {1, 2}, {7, 1, 2047}, {2047}, {5, 2048, 3, 1}, {999, 1000, 1},
    };
    for (const auto &b : bursts) {
        const outcome o = run(decode, code, no_header, b);
        EXPECT_EQ(o.result, transfer_done);
        EXPECT_EQ(fake.output(), input) << "bursts starting " << b[0];
        EXPECT_EQ(o.printed, dots(fake.reads - 1));
    }
    // Only an odd byte at the very end is dropped.
    bytes odd = code;
    odd.push_back(0xFF);
    run(decode, odd, no_header, {3});
    EXPECT_EQ(fake.output(), input);
    EXPECT_EQ(run(decode, {0x81}).printed, ".");
    EXPECT_TRUE(fake.output().empty());
}

TEST(Transfer, DecodeReportsDamageAndADroppedByte)
{
    const bytes clean = encoded(pattern(3000));
    bytes damaged = clean;
    damaged[5] ^= 0x02;     // a doubled pair split
    damaged[4001] ^= 0x40;  // another
    bytes odd = clean;
    odd.push_back(0x81);
    const struct {
        bytes code;
        std::int64_t damaged;
        bool odd_byte_dropped;
    } cases[] = {{clean, 0, false}, {damaged, 2, false}, {odd, 0, true}, {{0x2A, 0x55, 0x80}, 2, true}};
    for (const auto &c : cases) {
        for (std::vector<std::int32_t> sizes : {std::vector<std::int32_t>{}, {7, 1, 2047}}) {
            const outcome o = run(decode, c.code, no_header, sizes);
            EXPECT_EQ(o.report.damaged, c.damaged) << c.code.size();
            EXPECT_EQ(o.report.code_bytes, static_cast<std::int64_t>(c.code.size() / 2 * 2));
            EXPECT_EQ(o.report.odd_byte_dropped, c.odd_byte_dropped) << c.code.size();
        }
    }
}

TEST(Transfer, FailuresEndTheTransfer)
{
    const struct {
        kind k;
        int failing_read, failing_write;
        transfer_result result;
        std::size_t writes;
    } cases[] = {
        {copy, 0, -1, transfer_read_failed, 0},   {copy, 2, -1, transfer_read_failed, 2},
        {copy, -1, 0, transfer_write_failed, 0},  {copy, -1, 2, transfer_write_failed, 2},
        {encode, 1, -1, transfer_read_failed, 1}, {encode, -1, 4, transfer_write_failed, 4},
        {decode, 1, -1, transfer_read_failed, 1}, {decode, -1, 1, transfer_write_failed, 1},
    };
    for (const auto &c : cases) {
        fake = fake_endpoints{};
        fake.input = pattern(2048 * 5);
        fake.failing_read = c.failing_read;
        fake.failing_write = c.failing_write;
        testing::internal::CaptureStdout();
        decode_report report{};
        transfer_result r = transfer_done;
        if (c.k == copy) r = copy_file(&fake_source, &fake_destination, no_header);
        if (c.k == encode) r = encode_file(&fake_source, &fake_destination, no_header);
        if (c.k == decode) r = decode_file(&fake_source, &fake_destination, &report);
        testing::internal::GetCapturedStdout();
        EXPECT_EQ(r, c.result) << c.k;
        EXPECT_EQ(fake.writes.size(), c.writes) << c.k;
    }
    // A failed header write stops before any data is read.
    fake = fake_endpoints{};
    fake.input = pattern(10);
    fake.failing_write = 0;
    testing::internal::CaptureStdout();
    EXPECT_EQ(copy_file(&fake_source, &fake_destination, 0x100), transfer_write_failed);
    testing::internal::GetCapturedStdout();
    EXPECT_EQ(fake.reads, 0);
}
