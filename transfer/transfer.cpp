#include "transfer.h"

#include <cstdio>

#include "hispeed.h"

namespace {

constexpr std::int32_t buffer_size = 2048;
constexpr std::int32_t half = buffer_size / 2;

// The one transfer buffer. Encode reads raw bytes into the upper half and
// expands them in place; the LOADM header is built where encode reads raw
// bytes, so that encode can treat it as a chunk of data.
std::uint8_t buf[buffer_size];

// Between disk files dots are gathered and shown at least every 50 ms, so
// that a fast transfer does not spend its time printing them.
constexpr std::int64_t dot_gather_ms = 50;

// Prints a dot, shown at once where each is (a port at either end).
void print_dot(bool each_shown)
{
    static std::int64_t shown_at = 0;
    std::putchar('.');
    const std::int64_t now = each_shown ? 0 : monotonic_ms();
    if (each_shown || now - shown_at >= dot_gather_ms) {
        std::fflush(stdout);
        shown_at = now;
    }
}

// Builds the four LOADM header bytes at buf[half] and prints the header
// line. The end address is the start plus the source's size, wrapped to 32
// bits; each high byte comes from a signed division by 256, which differs
// from bits 8 to 15 for negative values that are not multiples of 256.
void make_header(const endpoint *source, std::int32_t start)
{
    const std::uint32_t size = static_cast<std::uint32_t>(file_size(source));
    const std::int32_t end = static_cast<std::int32_t>(static_cast<std::uint32_t>(start) + size);
    buf[half + 0] = static_cast<std::uint8_t>(start);
    buf[half + 1] = static_cast<std::uint8_t>(start / 256);
    buf[half + 2] = static_cast<std::uint8_t>(end);
    buf[half + 3] = static_cast<std::uint8_t>(end / 256);
    std::printf("Make LOADM Header start=%04x end=%04x\n", static_cast<unsigned>(start),
                static_cast<unsigned>(end));
    std::fflush(stdout);
}

constexpr std::int32_t header_size = 4;

// Prints the chunk's dot and writes count bytes from buf[offset] to the
// destination of the transfer between source and destination.
bool put_chunk(const endpoint *source, endpoint *destination, std::int32_t offset,
               std::int32_t count)
{
    print_dot(source->port || destination->port);
    return file_write(destination, buf + offset, count) == count;
}

}  // namespace

transfer_result copy_file(endpoint *source, endpoint *destination, std::int32_t start_address)
{
    if (start_address != no_header) {
        make_header(source, start_address);
        if (!put_chunk(source, destination, half, header_size)) return transfer_write_failed;
    }
    for (;;) {
        const std::int32_t count = file_read(source, buf, buffer_size);
        if (count < 0) return transfer_read_failed;
        if (count == 0) return transfer_done;
        if (!put_chunk(source, destination, 0, count)) return transfer_write_failed;
    }
}

transfer_result encode_file(endpoint *source, endpoint *destination, std::int32_t start_address)
{
    std::int32_t count = 0;
    if (start_address != no_header) {
        make_header(source, start_address);
        count = header_size;
    } else {
        count = file_read(source, buf + half, half);
    }
    for (;;) {
        if (count < 0) return transfer_read_failed;
        if (count == 0) return transfer_done;
        // The code of byte i lands at 2i and 2i + 1, never beyond half + i,
        // so the expansion runs in place, front to back.
        encode_bytes(buf + half, count, buf);
        if (!put_chunk(source, destination, 0, 2 * count)) return transfer_write_failed;
        count = file_read(source, buf + half, half);
    }
}

transfer_result decode_file(endpoint *source, endpoint *destination, decode_report *report)
{
    *report = decode_report{0, 0, false};
    // A port may end a chunk between the two bytes of a pair; that byte is
    // kept at buf[0] and the next chunk is read behind it.
    std::int32_t carried = 0;
    for (;;) {
        const std::int32_t count = file_read(source, buf + carried, buffer_size - carried);
        report->odd_byte_dropped = carried != 0;
        if (count < 0) return transfer_read_failed;
        if (count == 0) return transfer_done;
        const std::int32_t total = carried + count;
        // Byte j is made from the pair at 2j and 2j + 1, at or behind it.
        report->damaged += decode_bytes(buf, total / 2, buf);
        report->code_bytes += total / 2 * 2;
        if (!put_chunk(source, destination, 0, total / 2)) return transfer_write_failed;
        carried = total % 2;
        if (carried) buf[0] = buf[total - 1];
    }
}
