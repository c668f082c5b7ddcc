/* The bare round trip with no interpreter in the loop: the floor a module
 * call is measured against in bench/small_calls.py, which builds this file
 * with the system's C compiler.
 *
 *     raw_client ENDPOINT HELLO LOGIN REQUEST...
 *
 * Every frame is given in hex. HELLO and LOGIN are sent once and their
 * replies read; then each line "INDEX CALLS" on standard input times CALLS
 * round trips of REQUEST number INDEX and answers with the nanoseconds they
 * took. A round trip makes the fewest system calls a client can: one send
 * of the whole request, then reads into a buffer allocated at start, the
 * first taking the reply's length with whatever came with it (all of a
 * short reply). Timing in batches asked for
 * one at a time lets the caller interleave this way with its own. */

#define _POSIX_C_SOURCE 200809L
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <errno.h>
#include <string.h>
#include <time.h>
#include <unistd.h>

#include "round_trip.h"

enum { MAX_REQUESTS = 32, REPLY_CAPACITY = 1 << 16 };

typedef struct {
    unsigned char *bytes;
    size_t size;
} frame_t;

static unsigned char reply[REPLY_CAPACITY];

static int fail(const char *what) {
    fprintf(stderr, "raw_client: %s\n", what);
    return 2;
}

static int hex_digit(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

static int parse_hex(const char *text, frame_t *out) {
    size_t length = strlen(text);
    if (length == 0 || length % 2) return -1;
    out->size = length / 2;
    out->bytes = malloc(out->size);
    if (!out->bytes) return -1;
    for (size_t i = 0; i < out->size; ++i) {
        int high = hex_digit(text[2 * i]), low = hex_digit(text[2 * i + 1]);
        if (high < 0 || low < 0) return -1;
        out->bytes[i] = (unsigned char)(high << 4 | low);
    }
    return 0;
}

static int64_t now_ns(void) {
    struct timespec t;
    clock_gettime(CLOCK_MONOTONIC, &t);
    return (int64_t)t.tv_sec * 1000000000 + t.tv_nsec;
}

int main(int argc, char **argv) {
    if (argc < 5 || argc - 2 > MAX_REQUESTS) return fail("usage: raw_client ENDPOINT HELLO LOGIN REQUEST...");
    frame_t frames[MAX_REQUESTS];
    int count = argc - 2;
    for (int i = 0; i < count; ++i)
        if (parse_hex(argv[i + 2], &frames[i]) != 0) return fail("a frame is not hex");

    int fd = connect_endpoint(argv[1]);
    if (fd < 0) return fail(errno == ENAMETOOLONG ? "endpoint path too long" : "cannot connect");
    if (round_trip(fd, frames[0].bytes, frames[0].size, reply, sizeof reply) != 0 ||
        round_trip(fd, frames[1].bytes, frames[1].size, reply, sizeof reply) != 0) return fail("handshake or login failed");

    int index;
    long calls;
    while (scanf("%d %ld", &index, &calls) == 2) {
        if (index < 0 || index >= count - 2 || calls < 0) return fail("bad batch");
        const frame_t *request = &frames[index + 2];
        int64_t start = now_ns();
        for (long i = 0; i < calls; ++i)
            if (round_trip(fd, request->bytes, request->size, reply, sizeof reply) != 0) return fail("round trip failed");
        printf("%lld\n", (long long)(now_ns() - start));
        fflush(stdout);
    }
    close(fd);
    for (int i = 0; i < count; ++i) free(frames[i].bytes);
    return 0;
}
