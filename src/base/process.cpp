// The start-up guard of process.h. A closed standard descriptor is the lowest
// free one, so opening /dev/null while it is closed hands it exactly that
// number; the three are checked in order for that reason.
#include <cerrno>
#include <csignal>

#include <fcntl.h>
#include <unistd.h>

#include "base/process.h"

void prepare_process() {
    for (int fd = 0; fd <= 2; fd++) {
        if (fcntl(fd, F_GETFD) != -1 || errno != EBADF) continue;
        // Should /dev/null not open, the descriptor stays closed: nothing
        // better can be done before the first message could be printed.
        (void)open("/dev/null", fd == 0 ? O_RDONLY : O_WRONLY);
    }
    signal(SIGXFSZ, SIG_IGN);
}
