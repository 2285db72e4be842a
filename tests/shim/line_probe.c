/* A small serial application for the port shim's tests, built without any of our code.
 *   line_probe wait PORT   blocks in TIOCMIWAIT for a CTS change, then prints the lines
 *   line_probe others      prints what the C library does on a file, a pipe, a socket pair
 *                          and a pseudo-terminal of its own: the same with the shim or without */
#define _GNU_SOURCE
#include <errno.h>
#include <fcntl.h>
#include <linux/serial.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <termios.h>
#include <unistd.h>

static const char* result(int status) {
    static char text[64];
    if (status < 0)
        snprintf(text, sizeof text, "-1/%s", strerrorname_np(errno));
    else
        snprintf(text, sizeof text, "%d", status);
    return text;
}

static int wait_cts(const char* port) {
    int fd = open(port, O_RDWR | O_NOCTTY);
    if (fd < 0) {
        printf("error open %s\n", strerrorname_np(errno));
        return 1;
    }
    printf("waiting\n");
    fflush(stdout);
    if (ioctl(fd, TIOCMIWAIT, TIOCM_CTS) != 0) {
        printf("error wait %s\n", strerrorname_np(errno));
        return 1;
    }
    int lines = 0;
    struct serial_icounter_struct counts;
    memset(&counts, 0, sizeof counts);
    if (ioctl(fd, TIOCMGET, &lines) != 0 || ioctl(fd, TIOCGICOUNT, &counts) != 0) {
        printf("error lines %s\n", strerrorname_np(errno));
        return 1;
    }
    printf("woke cts=%d dsr=%d counted-cts=%d\n", !!(lines & TIOCM_CTS), !!(lines & TIOCM_DSR), counts.cts);
    close(fd);
    return 0;
}

/* Every call an application makes on a serial line, on one descriptor. */
static void probe(const char* name, int fd) {
    struct termios tio;
    memset(&tio, 0, sizeof tio);
    int got = tcgetattr(fd, &tio);
    printf("%s tcgetattr=%s", name, result(got));
    if (got == 0) {
        tio.c_cflag = (tio.c_cflag & ~(tcflag_t)(CSIZE | PARENB)) | CS7 | PARENB;
        printf(" tcsetattr=%s", result(tcsetattr(fd, TCSANOW, &tio)));
        memset(&tio, 0, sizeof tio);
        printf(" again=%s cs7=%d parenb=%d", result(tcgetattr(fd, &tio)), (tio.c_cflag & CSIZE) == CS7,
               !!(tio.c_cflag & PARENB));
    }
    int lines = 0, bit = TIOCM_RTS;
    struct serial_icounter_struct counts;
    printf(" TIOCMGET=%s", result(ioctl(fd, TIOCMGET, &lines)));
    printf(" TIOCMBIS=%s", result(ioctl(fd, TIOCMBIS, &bit)));
    printf(" TIOCMIWAIT=%s", result(ioctl(fd, TIOCMIWAIT, TIOCM_CTS)));
    printf(" TIOCGICOUNT=%s", result(ioctl(fd, TIOCGICOUNT, &counts)));
    printf(" tcsendbreak=%s", result(tcsendbreak(fd, 0)));
    int pending = -1;
    printf(" FIONREAD=%s", result(ioctl(fd, FIONREAD, &pending)));
    printf("/%d\n", pending);
}

static int others(void) {
    char path[] = "/tmp/line-probe-XXXXXX";
    int file = mkstemp(path);
    if (file < 0 || write(file, "abc", 3) != 3)
        return 1;
    unlink(path);
    probe("file", file);

    int pipe_fds[2];
    if (pipe(pipe_fds) != 0 || write(pipe_fds[1], "hello", 5) != 5)
        return 1;
    probe("pipe", pipe_fds[0]);

    int pair[2];
    if (socketpair(AF_UNIX, SOCK_STREAM, 0, pair) != 0 || write(pair[1], "hi", 2) != 2)
        return 1;
    probe("socket", pair[0]);

    int master = posix_openpt(O_RDWR | O_NOCTTY);
    if (master < 0 || grantpt(master) != 0 || unlockpt(master) != 0)
        return 1;
    int slave = open(ptsname(master), O_RDWR | O_NOCTTY);
    if (slave < 0)
        return 1;
    probe("terminal", slave);
    char byte = 0;
    printf("terminal bytes %zd", write(slave, "x", 1));
    printf(" %zd", read(master, &byte, 1));
    printf(" %c\n", byte);

    probe("closed", 999);
    return 0;
}

int main(int argc, char** argv) {
    if (argc == 3 && strcmp(argv[1], "wait") == 0)
        return wait_cts(argv[2]);
    if (argc == 2 && strcmp(argv[1], "others") == 0)
        return others();
    fprintf(stderr, "usage: line_probe wait PORT | others\n");
    return 2;
}
