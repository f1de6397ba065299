#include "fake_endpoint.h"

#include <algorithm>
#include <chrono>
#include <cstring>

fake_endpoints fake;
endpoint fake_source = {3, "source", false};
endpoint fake_destination = {4, "destination", false};

std::vector<std::uint8_t> fake_endpoints::output() const
{
    std::vector<std::uint8_t> all;
    for (const auto &w : writes) all.insert(all.end(), w.begin(), w.end());
    return all;
}

std::int32_t file_read(endpoint *end, void *buffer, std::int32_t count)
{
    if (end != &fake_source) return -1;
    const int index = fake.reads++;
    if (index == fake.failing_read) return -1;
    std::size_t n = std::min<std::size_t>(count, fake.input.size() - fake.position);
    if (!fake.read_sizes.empty())
        n = std::min<std::size_t>(n, fake.read_sizes[index % fake.read_sizes.size()]);
    if (n > 0) std::memcpy(buffer, fake.input.data() + fake.position, n);
    fake.position += n;
    return static_cast<std::int32_t>(n);
}

std::int32_t file_write(endpoint *end, const void *buffer, std::int32_t count)
{
    if (end != &fake_destination) return -1;
    if (static_cast<int>(fake.writes.size()) == fake.failing_write) return -1;
    const auto *p = static_cast<const std::uint8_t *>(buffer);
    fake.writes.emplace_back(p, p + count);
    return count;
}

std::int32_t file_size(const endpoint *end)
{
    if (end != &fake_source) return -1;
    return fake.size != -2 ? fake.size : static_cast<std::int32_t>(fake.input.size());
}

std::int64_t monotonic_ms()
{
    return std::chrono::duration_cast<std::chrono::milliseconds>(
               std::chrono::steady_clock::now().time_since_epoch())
        .count();
}
