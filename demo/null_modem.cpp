// Two pseudo-terminals joined like a null-modem cable: what is written to
// one comes out of the other. Prints the two device paths on one line, then
// relays until standard input closes or it is killed. The demo's stand-in
// for two serial ports and a cable.
//
//     null_modem [RATE [BITS]]
//
// With a RATE the cable carries characters no faster than a line at that
// baud rate (BITS data bits, 8 unless given, one start and one stop bit),
// and with 7 BITS it clears bit 7 of every character, as a line of 7 data
// bits does. At the end it reports on standard error, for each direction
// that carried data, the characters, the CLOCK_MONOTONIC times at which the
// first began and the last ended, and how busy the line was in between.
#include <poll.h>
#include <pty.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <ctime>

namespace {

double now()
{
    timespec t;
    clock_gettime(CLOCK_MONOTONIC, &t);
    return static_cast<double>(t.tv_sec) + static_cast<double>(t.tv_nsec) / 1e9;
}

struct direction {
    int from, to;
    double free_at = 0;       // when the line has sent what it was given
    double first = -1;        // when the first character began
    long long characters = 0;
};

double chars_per_second = 0;  // 0: as fast as the ptys go
bool seven_bits = false;

// Moves what the line can carry in the next 10 ms from one side to the
// other. Returns false when a side has gone.
bool relay(direction &d)
{
    char chunk[4096];
    const double t = now();
    std::size_t room = sizeof chunk;
    if (chars_per_second > 0) room = std::max<std::size_t>(1, static_cast<std::size_t>(chars_per_second / 100));
    const ssize_t n = read(d.from, chunk, std::min(room, sizeof chunk));
    if (n <= 0) return false;
    for (ssize_t i = 0; seven_bits && i < n; ++i) chunk[i] = static_cast<char>(chunk[i] & 0x7F);
    for (ssize_t done = 0; done < n;) {
        const ssize_t w = write(d.to, chunk + done, static_cast<size_t>(n - done));
        if (w <= 0) return false;
        done += w;
    }
    // Data that was waiting when the line came free follows on at once;
    // this relay's own wake-up delay (a few ms) is no gap on the line.
    const double start = t - d.free_at < 0.005 ? d.free_at : t;
    if (d.first < 0) d.first = start;
    d.free_at = start + (chars_per_second > 0 ? static_cast<double>(n) / chars_per_second : 0);
    d.characters += n;
    return true;
}

void report(const direction &d, const char *name)
{
    if (d.characters == 0) return;
    const double span = d.free_at - d.first;
    const double busy = span > 0 && chars_per_second > 0
                            ? 100 * static_cast<double>(d.characters) / chars_per_second / span
                            : 100;
    std::fprintf(stderr, "null_modem: %s: %lld characters, first %.3f, last done %.3f, line busy %.1f%%\n",
                 name, d.characters, d.first, d.free_at, busy);
}

}  // namespace

int main(int argc, char **argv)
{
    const long rate = argc > 1 ? std::atol(argv[1]) : 0;
    const int bits = argc > 2 ? std::atoi(argv[2]) : 8;
    seven_bits = bits == 7;
    if (rate > 0) chars_per_second = static_cast<double>(rate) / (bits + 2);
    int master[2], slave[2];
    char name[2][64];
    for (int i = 0; i < 2; ++i) {
        if (openpty(&master[i], &slave[i], name[i], nullptr, nullptr) != 0) {
            std::perror("openpty");
            return 1;
        }
    }
    // The slaves stay open here too, so a side that the tool closes does not
    // hang up the cable.
    std::printf("%s %s\n", name[0], name[1]);
    std::fflush(stdout);
    direction ways[2] = {{master[0], master[1]}, {master[1], master[0]}};
    for (;;) {
        // A side is read only once the line has sent what it was given, so
        // the sender waits on its pty as it would on a paced line.
        const double t = now();
        int wait_ms = -1;
        pollfd p[3] = {{master[0], 0, 0}, {master[1], 0, 0}, {STDIN_FILENO, POLLIN, 0}};
        for (int i = 0; i < 2; ++i) {
            if (ways[i].free_at <= t) p[i].events = POLLIN;
            else {
                const int ms = 1 + static_cast<int>((ways[i].free_at - t) * 1000);
                wait_ms = wait_ms < 0 ? ms : std::min(wait_ms, ms);
            }
        }
        if (poll(p, 3, wait_ms) < 0) continue;
        if (p[2].revents) break;
        for (int i = 0; i < 2; ++i)
            if ((p[i].revents & POLLIN) && !relay(ways[i])) return 1;
    }
    report(ways[0], "first to second");
    report(ways[1], "second to first");
    return 0;
}
