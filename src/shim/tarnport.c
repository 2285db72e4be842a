/* libtarnport.so: preloaded into an application (tarn-run), it gives the descriptors of our
 * virtual ports what a pseudo-terminal cannot: the data size and parity the application set,
 * modem lines, line-change waits and counters. It asks the program that serves the port over
 * the port's side channel. Every other descriptor, and every port whose program does not
 * answer, goes straight to the C library as if the shim were not there. read and write are
 * not touched at all. */
#define _GNU_SOURCE
#include <dirent.h>
#include <dlfcn.h>
#include <errno.h>
#include <fcntl.h>
#include <linux/serial.h>
#include <pthread.h>
#include <stdarg.h>
#include <stddef.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <sys/time.h>
#include <sys/un.h>
#include <termios.h>
#include <unistd.h>

#include "line_wire.h"

#define EXPORT __attribute__((visibility("default")))

/* termios2 requests, spelled out: <asm/termbits.h> cannot be included beside <termios.h>.
 * Only c_cflag is touched, the third word in termios, termios2 and the C library's struct. */
struct tarn_termios2 {
    tcflag_t c_iflag, c_oflag, c_cflag, c_lflag;
    cc_t c_line;
    cc_t c_cc[19];
    speed_t c_ispeed, c_ospeed;
};
#define TARN_TCGETS2 _IOR('T', 0x2A, struct tarn_termios2)
#define TARN_TCSETS2 _IOW('T', 0x2B, struct tarn_termios2)
#define TARN_TCSETSW2 _IOW('T', 0x2C, struct tarn_termios2)
#define TARN_TCSETSF2 _IOW('T', 0x2D, struct tarn_termios2)

/* The part of c_cflag a pseudo-terminal cannot keep: its driver forces CS8 and clears PARENB. */
#define FRAME_BITS (CSIZE | PARENB | PARODD | CMSPAR)

/* Unix98 pseudo-terminal slaves: majors 136 to 143. */
#define PTS_MAJOR_FIRST 136u
#define PTS_MAJOR_LAST 143u

typedef int (*ioctl_fn)(int, unsigned long, ...);
typedef int (*tcgetattr_fn)(int, struct termios*);
typedef int (*tcsetattr_fn)(int, int, const struct termios*);
typedef int (*tcsendbreak_fn)(int, int);
typedef int (*tcflush_fn)(int, int);

static ioctl_fn real_ioctl_fn;
static tcgetattr_fn real_tcgetattr_fn;
static tcsetattr_fn real_tcsetattr_fn;
static tcsendbreak_fn real_tcsendbreak_fn;
static tcflush_fn real_tcflush_fn;
static pthread_once_t resolve_once = PTHREAD_ONCE_INIT;

static void resolve(void) {
    real_ioctl_fn = (ioctl_fn)dlsym(RTLD_NEXT, "ioctl");
    real_tcgetattr_fn = (tcgetattr_fn)dlsym(RTLD_NEXT, "tcgetattr");
    real_tcsetattr_fn = (tcsetattr_fn)dlsym(RTLD_NEXT, "tcsetattr");
    real_tcsendbreak_fn = (tcsendbreak_fn)dlsym(RTLD_NEXT, "tcsendbreak");
    real_tcflush_fn = (tcflush_fn)dlsym(RTLD_NEXT, "tcflush");
}

static void resolve_all(void) {
    pthread_once(&resolve_once, resolve);
}

/* ---- which descriptors are our ports ---- */

/* Found once per descriptor and terminal: a port's side channel path, or "" for a
 * terminal that is not one of ours. A descriptor reused for another terminal is looked up again. */
#define CACHED_FDS 1024
struct fd_entry {
    dev_t rdev; /* 0: nothing cached */
    char channel[sizeof(((struct sockaddr_un*)0)->sun_path)];
};
static struct fd_entry fd_cache[CACHED_FDS];
static pthread_mutex_t fd_cache_mutex = PTHREAD_MUTEX_INITIALIZER;

static int port_directory(char* out, size_t size) {
    const char* runtime = getenv("XDG_RUNTIME_DIR");
    int n = (runtime && *runtime) ? snprintf(out, size, "%s/tarn", runtime)
                                  : snprintf(out, size, "/tmp/tarn-%u", (unsigned)geteuid());
    return n > 0 && (size_t)n < size;
}

/* The side channel of the port whose link in the port directory names `slave`. */
static int find_channel(const char* slave, char* out, size_t size) {
    char dir[4096];
    if (!port_directory(dir, sizeof dir))
        return 0;
    DIR* d = opendir(dir);
    if (!d)
        return 0;
    int found = 0;
    struct dirent* entry;
    while (!found && (entry = readdir(d)) != NULL) {
        if (strncmp(entry->d_name, "COM", 3) != 0)
            continue;
        char target[64];
        ssize_t n = readlinkat(dirfd(d), entry->d_name, target, sizeof target - 1);
        if (n <= 0)
            continue;
        target[n] = '\0';
        if (strcmp(target, slave) != 0)
            continue;
        int len = snprintf(out, size, "%s/.%s%s", dir, entry->d_name, TARN_LINE_SUFFIX);
        found = len > 0 && (size_t)len < size;
    }
    closedir(d);
    return found;
}

/* Copies the port's side channel path into `channel` and returns 1 when fd is one of our
 * ports. Leaves errno as it found it. */
static int our_port(int fd, char* channel, size_t size) {
    int saved = errno;
    struct stat st;
    int ours = 0;
    if (fstat(fd, &st) != 0 || !S_ISCHR(st.st_mode) || major(st.st_rdev) < PTS_MAJOR_FIRST ||
        major(st.st_rdev) > PTS_MAJOR_LAST || st.st_rdev == 0) {
        errno = saved;
        return 0;
    }
    struct fd_entry* cached = (fd >= 0 && fd < CACHED_FDS) ? &fd_cache[fd] : NULL;
    if (cached) {
        pthread_mutex_lock(&fd_cache_mutex);
        if (cached->rdev == st.st_rdev) {
            ours = cached->channel[0] != '\0';
            if (ours)
                snprintf(channel, size, "%s", cached->channel);
            pthread_mutex_unlock(&fd_cache_mutex);
            errno = saved;
            return ours;
        }
        pthread_mutex_unlock(&fd_cache_mutex);
    }
    char slave[64];
    unsigned index = (major(st.st_rdev) - PTS_MAJOR_FIRST) * 256u + minor(st.st_rdev);
    snprintf(slave, sizeof slave, "/dev/pts/%u", index);
    char found[sizeof fd_cache[0].channel] = "";
    ours = find_channel(slave, found, sizeof found);
    if (cached) {
        pthread_mutex_lock(&fd_cache_mutex);
        cached->rdev = st.st_rdev;
        snprintf(cached->channel, sizeof cached->channel, "%s", ours ? found : "");
        pthread_mutex_unlock(&fd_cache_mutex);
    }
    if (ours)
        snprintf(channel, size, "%s", found);
    errno = saved;
    return ours;
}

/* ---- the side channel ---- */

/* One request and its reply. 1 when the port's program answered; 0 when it is not there (the
 * caller then does what the C library does); -1 with EINTR when a signal ended a wait.
 * A wait may last; any other call gives up after two seconds. errno is kept otherwise. */
static int ask(const char* channel, uint32_t op, uint32_t value, uint32_t arg, struct tarn_line_reply* reply) {
    int saved = errno;
    int result = 0;
    int sock = socket(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC, 0);
    if (sock < 0)
        goto out;
    struct sockaddr_un addr;
    memset(&addr, 0, sizeof addr);
    addr.sun_family = AF_UNIX;
    snprintf(addr.sun_path, sizeof addr.sun_path, "%s", channel);
    if (op != TARN_LINE_WAIT) {
        struct timeval limit = {2, 0};
        setsockopt(sock, SOL_SOCKET, SO_RCVTIMEO, &limit, sizeof limit);
        setsockopt(sock, SOL_SOCKET, SO_SNDTIMEO, &limit, sizeof limit);
    }
    if (connect(sock, (struct sockaddr*)&addr, sizeof addr) != 0)
        goto out;
    /* Only our own user's program may answer for the port. */
    struct ucred peer;
    socklen_t peer_len = sizeof peer;
    if (getsockopt(sock, SOL_SOCKET, SO_PEERCRED, &peer, &peer_len) != 0 || peer.uid != geteuid())
        goto out;
    struct tarn_line_request request = {op, value, arg};
    if (send(sock, &request, sizeof request, MSG_NOSIGNAL) != (ssize_t)sizeof request)
        goto out;
    memset(reply, 0, sizeof *reply);
    ssize_t got = recv(sock, reply, sizeof *reply, 0);
    if (got == (ssize_t)sizeof *reply) {
        result = 1;
    } else if (got < 0 && errno == EINTR) {
        result = -1;
        saved = EINTR;
    } else if (got == 0 && op == TARN_LINE_WAIT) {
        /* The port went away while the application waited on it. */
        memset(reply, 0, sizeof *reply);
        reply->error = EIO;
        result = 1;
    }
out:
    if (sock >= 0)
        close(sock);
    errno = saved;
    return result;
}

/* The application's own frame bits over what the pseudo-terminal reports. */
static void overlay_frame(const char* channel, tcflag_t* cflag) {
    struct tarn_line_reply reply;
    if (ask(channel, TARN_LINE_GET_FRAME, 0, 0, &reply) == 1 && reply.error == 0 && reply.flags == 1)
        *cflag = (*cflag & ~(tcflag_t)FRAME_BITS) | ((tcflag_t)reply.value & FRAME_BITS);
}

static void tell_frame(const char* channel, tcflag_t cflag) {
    struct tarn_line_reply reply;
    ask(channel, TARN_LINE_SET_FRAME, (uint32_t)(cflag & FRAME_BITS), 0, &reply);
}

/* Whether the port's program answers: only then is the application's frame kept from the
 * pseudo-terminal, so that without it a set fails or succeeds exactly as it always did. */
static int served(const char* channel) {
    struct tarn_line_reply reply;
    return ask(channel, TARN_LINE_GET_FRAME, 0, 0, &reply) == 1;
}

/* What the pseudo-terminal is given in place of the application's frame: 8 data bits and no
 * parity, the only frame it keeps. Some kernels refuse a frame a pseudo-terminal cannot keep
 * (EINVAL) instead of forcing 8N, so the application's own frame never reaches it. */
static tcflag_t pty_frame(tcflag_t cflag) {
    return (cflag & ~(tcflag_t)FRAME_BITS) | CS8;
}

static int fail(int error) {
    errno = error;
    return -1;
}

/* 1 when the call was answered for a port (its result in *status), 0 to leave it to the C library. */
static int modem_request(int fd, unsigned long request, void* arg, int* status) {
    char channel[sizeof fd_cache[0].channel];
    if (!our_port(fd, channel, sizeof channel))
        return 0;
    struct tarn_line_reply reply;
    int asked;
    switch (request) {
    case TIOCMGET:
        if ((asked = ask(channel, TARN_LINE_GET_MODEM, 0, 0, &reply)) == 1 && reply.error == 0) {
            if (!arg)
                return *status = fail(EFAULT), 1;
            *(int*)arg = (int)reply.value;
        }
        break;
    case TIOCMSET:
    case TIOCMBIS:
    case TIOCMBIC: {
        if (!arg)
            return *status = fail(EFAULT), 1;
        uint32_t how = request == TIOCMSET ? TARN_LINE_SET : request == TIOCMBIS ? TARN_LINE_BIS : TARN_LINE_BIC;
        asked = ask(channel, TARN_LINE_SET_MODEM, (uint32_t) * (int*)arg, how, &reply);
        break;
    }
    case TIOCMIWAIT:
        asked = ask(channel, TARN_LINE_WAIT, (uint32_t)(unsigned long)arg, 0, &reply);
        break;
    case TIOCGICOUNT:
        if ((asked = ask(channel, TARN_LINE_COUNTS, 0, 0, &reply)) == 1 && reply.error == 0) {
            if (!arg)
                return *status = fail(EFAULT), 1;
            struct serial_icounter_struct* counts = arg;
            memset(counts, 0, sizeof *counts);
            counts->cts = (int)reply.counts[0];
            counts->dsr = (int)reply.counts[1];
            counts->rng = (int)reply.counts[2];
            counts->dcd = (int)reply.counts[3];
            counts->rx = (int)reply.counts[4];
            counts->tx = (int)reply.counts[5];
        }
        break;
    default:
        return 0;
    }
    if (asked == 0)
        return 0;
    if (asked < 0)
        return *status = -1, 1; /* errno is EINTR */
    *status = reply.error == 0 ? 0 : fail(reply.error);
    return 1;
}

static void tell_break(int fd, uint32_t how) {
    char channel[sizeof fd_cache[0].channel];
    struct tarn_line_reply reply;
    if (our_port(fd, channel, sizeof channel))
        ask(channel, TARN_LINE_BREAK, 0, how, &reply);
}

static void tell_flush(int fd, int queue) {
    char channel[sizeof fd_cache[0].channel];
    struct tarn_line_reply reply;
    if (our_port(fd, channel, sizeof channel))
        ask(channel, TARN_LINE_FLUSH, 0, (uint32_t)queue, &reply);
}

/* ---- the interposed calls ---- */

EXPORT int ioctl(int fd, unsigned long request, ...) {
    va_list args;
    va_start(args, request);
    void* arg = va_arg(args, void*);
    va_end(args);
    resolve_all();
    if (!real_ioctl_fn)
        return fail(ENOSYS);

    char channel[sizeof fd_cache[0].channel];
    int status;
    switch (request) {
    case TCGETS:
    case TARN_TCGETS2:
        status = real_ioctl_fn(fd, request, arg);
        if (status == 0 && arg && our_port(fd, channel, sizeof channel))
            overlay_frame(channel, &((tcflag_t*)arg)[2]);
        return status;
    case TCSETS:
    case TCSETSW:
    case TCSETSF:
    case TARN_TCSETS2:
    case TARN_TCSETSW2:
    case TARN_TCSETSF2: {
        if (!arg || !our_port(fd, channel, sizeof channel) || !served(channel))
            return real_ioctl_fn(fd, request, arg);
        /* The kernel's termios is termios2 without the two speeds at its end. */
        struct tarn_termios2 copy;
        memset(&copy, 0, sizeof copy);
        int old = request == TCSETS || request == TCSETSW || request == TCSETSF;
        memcpy(&copy, arg, old ? offsetof(struct tarn_termios2, c_ispeed) : sizeof copy);
        tcflag_t wanted = copy.c_cflag;
        copy.c_cflag = pty_frame(wanted);
        status = real_ioctl_fn(fd, request, &copy);
        if (status == 0)
            tell_frame(channel, wanted);
        return status;
    }
    case TIOCMGET:
    case TIOCMSET:
    case TIOCMBIS:
    case TIOCMBIC:
    case TIOCMIWAIT:
    case TIOCGICOUNT:
        if (modem_request(fd, request, arg, &status))
            return status;
        return real_ioctl_fn(fd, request, arg);
    case TCSBRK:
    case TCSBRKP:
    case TIOCSBRK:
    case TIOCCBRK:
        status = real_ioctl_fn(fd, request, arg);
        /* TCSBRK and TCSBRKP with a non-zero argument only drain. */
        if (status == 0 && !((request == TCSBRK || request == TCSBRKP) && (int)(long)arg != 0))
            tell_break(fd, request == TIOCSBRK ? TARN_LINE_BIS : request == TIOCCBRK ? TARN_LINE_BIC : TARN_LINE_SET);
        return status;
    case TCFLSH:
        status = real_ioctl_fn(fd, request, arg);
        if (status == 0)
            tell_flush(fd, (int)(long)arg);
        return status;
    default:
        return real_ioctl_fn(fd, request, arg);
    }
}

/* The C library's own termios calls reach the kernel without passing through ioctl above. */
EXPORT int tcgetattr(int fd, struct termios* termios) {
    resolve_all();
    if (!real_tcgetattr_fn)
        return fail(ENOSYS);
    int status = real_tcgetattr_fn(fd, termios);
    char channel[sizeof fd_cache[0].channel];
    if (status == 0 && termios && our_port(fd, channel, sizeof channel))
        overlay_frame(channel, &termios->c_cflag);
    return status;
}

EXPORT int tcsetattr(int fd, int action, const struct termios* termios) {
    resolve_all();
    if (!real_tcsetattr_fn)
        return fail(ENOSYS);
    char channel[sizeof fd_cache[0].channel];
    if (!termios || !our_port(fd, channel, sizeof channel) || !served(channel))
        return real_tcsetattr_fn(fd, action, termios);
    struct termios copy = *termios;
    copy.c_cflag = pty_frame(termios->c_cflag);
    int status = real_tcsetattr_fn(fd, action, &copy);
    if (status == 0)
        tell_frame(channel, termios->c_cflag);
    return status;
}

EXPORT int tcsendbreak(int fd, int duration) {
    resolve_all();
    if (!real_tcsendbreak_fn)
        return fail(ENOSYS);
    int status = real_tcsendbreak_fn(fd, duration);
    if (status == 0)
        tell_break(fd, TARN_LINE_SET);
    return status;
}

EXPORT int tcflush(int fd, int queue) {
    resolve_all();
    if (!real_tcflush_fn)
        return fail(ENOSYS);
    int status = real_tcflush_fn(fd, queue);
    if (status == 0)
        tell_flush(fd, queue);
    return status;
}
