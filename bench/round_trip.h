/* The bare client that bench/raw_client.c and bench/call_floor.c both are,
 * so that the floor under a module call and the C client's time are the
 * same system calls: connecting, then per request one send of the whole
 * request and reads into the caller's buffer, the first taking the reply's
 * length with whatever came with it (all of a short reply). */
#ifndef QVN_BENCH_ROUND_TRIP_H
#define QVN_BENCH_ROUND_TRIP_H

#include <errno.h>
#include <stddef.h>
#include <stdint.h>
#include <string.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

/* A connection to the socket at `endpoint`; -1 with errno set when there is
 * none (ENAMETOOLONG: a path the address cannot hold). */
static int connect_endpoint(const char *endpoint) {
    struct sockaddr_un address;
    memset(&address, 0, sizeof address);
    address.sun_family = AF_UNIX;
    if (strlen(endpoint) >= sizeof address.sun_path) {
        errno = ENAMETOOLONG;
        return -1;
    }
    strcpy(address.sun_path, endpoint);
    int fd = socket(AF_UNIX, SOCK_STREAM, 0);
    if (fd < 0) return -1;
    if (connect(fd, (struct sockaddr *)&address, sizeof address) != 0) {
        int error = errno;
        close(fd);
        errno = error;
        return -1;
    }
    return fd;
}

/* One request and its reply, read into `reply` (`capacity` bytes); -1 when
 * the connection fails or the reply does not fit. */
static int round_trip(int fd, const unsigned char *request, size_t size, unsigned char *reply, size_t capacity) {
    size_t sent = 0;
    while (sent < size) {
        ssize_t n = send(fd, request + sent, size - sent, 0);
        if (n <= 0) return -1;
        sent += (size_t)n;
    }
    size_t got = 0;
    while (got < sizeof(uint32_t)) {
        ssize_t n = recv(fd, reply + got, capacity - got, 0);
        if (n <= 0) return -1;
        got += (size_t)n;
    }
    uint32_t length;
    memcpy(&length, reply, sizeof length);
    if (length > capacity - sizeof length) return -1;
    while (got < sizeof length + length) {
        ssize_t n = recv(fd, reply + got, sizeof length + length - got, 0);
        if (n <= 0) return -1;
        got += (size_t)n;
    }
    return 0;
}

#endif
