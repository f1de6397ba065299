// Preloaded into Wine for a test: a serial line that cannot be set to 7
// data bits, as some USB adapters cannot, so that Wine's SetCommState fails
// as theirs does. Every other setting passes to the real tcsetattr.
#include <dlfcn.h>
#include <termios.h>

#include <cerrno>

extern "C" int tcsetattr(int fd, int action, const termios *t)
{
    if ((t->c_cflag & CSIZE) == CS7) {
        errno = EINVAL;
        return -1;
    }
    using tcsetattr_type = int (*)(int, int, const termios *);
    static const tcsetattr_type real =
        reinterpret_cast<tcsetattr_type>(dlsym(RTLD_NEXT, "tcsetattr"));
    return real(fd, action, t);
}
