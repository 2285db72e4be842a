/* The messages of a port's side channel, between the port shim (libtarnport.so, in the
 * application) and the program that serves the port. Shared by C and C++; one request and
 * one reply per SOCK_SEQPACKET message, each side's own byte order (same machine). */
#ifndef TARN_LINE_WIRE_H
#define TARN_LINE_WIRE_H

#include <stdint.h>

/* The side channel of <port dir>/COM<n> is <port dir>/.COM<n>.line. */
#define TARN_LINE_SUFFIX ".line"

enum tarn_line_op {
    TARN_LINE_GET_FRAME = 1, /* reply: value = the frame bits the application set, flags 1 if any */
    TARN_LINE_SET_FRAME = 2, /* value = frame bits (CSIZE, PARENB, PARODD, CMSPAR of c_cflag) */
    TARN_LINE_GET_MODEM = 3, /* reply: value = TIOCM_* bits (RTS, DTR, CTS, DSR, CAR, RNG) */
    TARN_LINE_SET_MODEM = 4, /* value = TIOCM_RTS/TIOCM_DTR bits, arg = how (below) */
    TARN_LINE_WAIT = 5,      /* value = TIOCM_* input bits; the reply comes when one changes */
    TARN_LINE_COUNTS = 6,    /* reply: counts[] in serial_icounter_struct order (cts..tx) */
    TARN_LINE_BREAK = 7,     /* arg = how (below); the reply says whether it was carried */
    TARN_LINE_FLUSH = 8,     /* arg = TCIFLUSH, TCOFLUSH or TCIOFLUSH: the application flushed */
};

enum tarn_line_how {
    TARN_LINE_SET = 0, /* also: a break of the usual length */
    TARN_LINE_BIS = 1, /* also: break on */
    TARN_LINE_BIC = 2, /* also: break off */
};

struct tarn_line_request {
    uint32_t op;
    uint32_t value;
    uint32_t arg;
};

/* error: 0 or an errno value for the application's call. */
struct tarn_line_reply {
    int32_t error;
    uint32_t value;
    uint32_t flags;
    uint32_t counts[6]; /* cts, dsr, rng, dcd, rx, tx */
};

#endif
