// Two pseudo-terminals joined like a null-modem cable: what is written to
// one comes out of the other. Prints the two device paths on one line, then
// relays until standard input closes or it is killed. The demo's stand-in
// for two serial ports and a cable.
#include <poll.h>
#include <pty.h>
#include <unistd.h>

#include <cstdio>

namespace {

bool relay(int from, int to)
{
    char chunk[4096];
    const ssize_t n = read(from, chunk, sizeof chunk);
    if (n <= 0) return false;
    for (ssize_t done = 0; done < n;) {
        const ssize_t w = write(to, chunk + done, static_cast<size_t>(n - done));
        if (w <= 0) return false;
        done += w;
    }
    return true;
}

}  // namespace

int main()
{
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
    pollfd p[3] = {{master[0], POLLIN, 0}, {master[1], POLLIN, 0}, {STDIN_FILENO, POLLIN, 0}};
    for (;;) {
        if (poll(p, 3, -1) < 0) continue;
        if (p[2].revents) return 0;
        if ((p[0].revents & POLLIN) && !relay(master[0], master[1])) return 1;
        if ((p[1].revents & POLLIN) && !relay(master[1], master[0])) return 1;
    }
}
