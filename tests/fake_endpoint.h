// An in-memory endpoint linked in place of the real one, so the transfer
// loops can be driven through short chunks and failing reads and writes.
#pragma once

#include <cstdint>
#include <vector>

#include "endpoint.h"

struct fake_endpoints {
    std::vector<std::uint8_t> input;       // what the source holds
    std::vector<std::int32_t> read_sizes;  // most bytes each read returns, cycled; empty: no limit
    int failing_read = -1;                 // index of the read that fails, -1: none
    int failing_write = -1;                // index of the write that fails, -1: none
    std::int32_t size = -2;                // what file_size says; -2: the input's size
    std::size_t position = 0;
    int reads = 0;
    std::vector<std::vector<std::uint8_t>> writes;  // each successful write's bytes

    std::vector<std::uint8_t> output() const;
};

extern fake_endpoints fake;
// The two ends the transfers are given: disk files unless a test makes one
// a port.
extern endpoint fake_source, fake_destination;
