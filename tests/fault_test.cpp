// Fault injection under the real POSIX endpoint: read and write are wrapped
// at link time (-Wl,--wrap), and a script per descriptor makes calls short,
// interrupted, empty or failing. Each case must end with the exact bytes or
// with a failed transfer, never a "done" over a short file.
#include <gtest/gtest.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <vector>

#include "endpoint.h"
#include "transfer.h"
#include "cli_support.h"

extern "C" ssize_t __real_read(int fd, void *buffer, size_t count);
extern "C" ssize_t __real_write(int fd, const void *buffer, size_t count);
extern "C" int __real_ftruncate(int fd, off_t length);

namespace {

constexpr int pass = INT_MAX;  // the call goes through unchanged
constexpr int nothing = 0;     // the call returns 0 and moves no byte

// A script entry: pass, nothing, a byte limit, or -errno.
struct plan {
    int fd = -1;
    std::vector<int> script;
    std::size_t next = 0;
};

plan reads, writes;

// Returns true with *result set when the script decides the call.
bool scripted(plan &p, int fd, size_t *count, ssize_t *result)
{
    if (fd != p.fd || p.next >= p.script.size()) return false;
    const int step = p.script[p.next++];
    if (step == pass) return false;
    if (step < 0) {
        errno = -step;
        *result = -1;
        return true;
    }
    if (step == nothing) {
        *result = 0;
        return true;
    }
    if (*count > static_cast<size_t>(step)) *count = static_cast<size_t>(step);
    return false;
}

}  // namespace

extern "C" ssize_t __wrap_read(int fd, void *buffer, size_t count)
{
    ssize_t result = 0;
    return scripted(reads, fd, &count, &result) ? result : __real_read(fd, buffer, count);
}

extern "C" ssize_t __wrap_write(int fd, const void *buffer, size_t count)
{
    ssize_t result = 0;
    return scripted(writes, fd, &count, &result) ? result : __real_write(fd, buffer, count);
}

namespace {

int truncations = 0;

}  // namespace

extern "C" int __wrap_ftruncate(int fd, off_t length)
{
    ++truncations;
    return __real_ftruncate(fd, length);
}

namespace {

std::vector<int> repeat(std::vector<int> steps, std::size_t times)
{
    std::vector<int> all;
    for (std::size_t i = 0; i < times; ++i) all.insert(all.end(), steps.begin(), steps.end());
    return all;
}

}  // namespace

TEST(Faults, EveryFaultGivesExactBytesOrAFailure)
{
    const std::string data = pattern(5 * 2048 + 100);  // six chunks for c
    const struct {
        const char *what;
        char command;
        std::vector<int> read_script, write_script;
        transfer_result expected;
    } cases[] = {
        {"short writes", 'c', {}, repeat({100}, 200), transfer_done},
        {"one-byte writes", 'e', {}, repeat({1}, 3000), transfer_done},
        {"EINTR on writes", 'c', {}, repeat({-EINTR, pass}, 20), transfer_done},
        {"EINTR on reads", 'd', repeat({-EINTR, pass}, 20), {}, transfer_done},
        {"short reads", 'c', repeat({7, 2048, 1}, 10), {}, transfer_done},
        {"a write of nothing", 'c', {}, {pass, pass, nothing}, transfer_write_failed},
        {"a read failing midway", 'c', {pass, pass, -EIO}, {}, transfer_read_failed},
        {"a write failing on the last chunk", 'c', {}, {pass, pass, pass, pass, pass, -EIO},
         transfer_write_failed},
        {"ENOSPC after a partial write", 'e', {}, {1000, -ENOSPC}, transfer_write_failed},
    };
    for (const auto &c : cases) {
        const std::string dir = make_temp_dir();
        write_file(dir + "/src", c.command == 'd' ? data + data : data);
        endpoint src = file_open((dir + "/src").c_str(), 115200, role_source, nullptr);
        endpoint dst = file_open((dir + "/dst").c_str(), 115200, role_destination, &src);
        ASSERT_NE(src.handle, invalid_handle);
        ASSERT_NE(dst.handle, invalid_handle);
        reads = {static_cast<int>(src.handle), c.read_script, 0};
        writes = {static_cast<int>(dst.handle), c.write_script, 0};
        testing::internal::CaptureStdout();
        decode_report report{};
        transfer_result r = transfer_done;
        if (c.command == 'c') r = copy_file(&src, &dst, no_header);
        if (c.command == 'e') r = encode_file(&src, &dst, no_header);
        if (c.command == 'd') r = decode_file(&src, &dst, &report);
        testing::internal::GetCapturedStdout();
        reads = writes = plan{};
        file_close(&src);
        file_close(&dst);
        EXPECT_EQ(r, c.expected) << c.what;
        const std::string written = read_file(dir + "/dst");
        if (c.expected == transfer_done && c.command == 'c') {
            EXPECT_TRUE(written == data) << c.what;
        } else if (c.expected == transfer_done) {
            EXPECT_EQ(written.size(), c.command == 'e' ? 2 * data.size() : data.size()) << c.what;
        } else {
            EXPECT_LT(written.size(), c.command == 'e' ? 2 * data.size() : data.size()) << c.what;
        }
        remove_tree(dir);
    }
}

// A destination is emptied only when it holds data: truncating a new, empty
// file would only cost a flush at close.
TEST(Faults, OnlyADestinationWithDataIsTruncated)
{
    const std::string dir = make_temp_dir();
    const struct {
        const char *what;
        bool exists;
        std::string held;
        int truncations;
    } cases[] = {{"new", false, "", 0}, {"empty", true, "", 0}, {"with data", true, "old", 1}};
    for (const auto &c : cases) {
        const std::string dst = dir + "/" + c.what;
        if (c.exists) write_file(dst, c.held);
        truncations = 0;
        const endpoint end = file_open(dst.c_str(), 115200, role_destination, nullptr);
        ASSERT_NE(end.handle, invalid_handle) << c.what;
        file_close(&end);
        EXPECT_EQ(truncations, c.truncations) << c.what;
        EXPECT_EQ(read_file(dst), "") << c.what;
    }
    remove_tree(dir);
}
