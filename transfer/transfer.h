// The three transfers: each moves the whole source to the destination
// through one static 2048-byte buffer, printing a dot for every chunk. With
// a port at either end every dot is shown as it is printed, since the line
// sets the pace; between disk files, whose chunks come faster than a
// console can show them, dots are gathered and shown at least every 50 ms.
// Standard output is flushed when the header line or a shown dot is
// printed.
#pragma once

#include <cstdint>

#include "endpoint.h"

// The start address that asks for no LOADM header.
constexpr std::int32_t no_header = -1;

// How a transfer ended.
enum transfer_result {
    transfer_done,          // the source is exhausted and everything was written
    transfer_read_failed,   // a read of the source failed
    transfer_write_failed,  // a write to the destination failed
};

// Copies the source unchanged, after a LOADM header unless start_address is
// no_header.
transfer_result copy_file(endpoint *source, endpoint *destination, std::int32_t start_address);

// Writes every byte of the source, and of the header unless start_address is
// no_header, as its two Hispeed code bytes, low nibble first.
transfer_result encode_file(endpoint *source, endpoint *destination, std::int32_t start_address);

// What a decode saw of the code it was given. Every byte is decoded all the
// same; these tell whether the code came through as it was sent.
struct decode_report {
    std::int64_t code_bytes;  // code bytes decoded
    std::int64_t damaged;     // of them, those whose doubled bits disagree
    bool odd_byte_dropped;    // an odd last byte was left undecoded
};

// Turns pairs of Hispeed code bytes back into bytes, and fills *report. An
// odd byte at the end of a chunk is carried to the front of the next; only
// an odd byte at the very end of the input is dropped.
transfer_result decode_file(endpoint *source, endpoint *destination, decode_report *report);
