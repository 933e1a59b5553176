/* The reference rate for UDP on this machine: 32-byte datagrams to 127.0.0.1:PORT with
 * sendmmsg in batches of 64, for SECONDS (default 1), from one thread. Prints
 * "udp_sender <datagrams> datagrams <seconds> seconds <rate> datagrams/s". Something should be
 * receiving on the port, as a collector would be.
 */
#define _GNU_SOURCE
#include <errno.h>
#include <netinet/in.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/socket.h>
#include <time.h>
#include <unistd.h>

#define BATCH 64
#define DATAGRAM_BYTES 32

static double now(void) {
    struct timespec t;
    clock_gettime(CLOCK_MONOTONIC, &t);
    return (double)t.tv_sec + (double)t.tv_nsec / 1e9;
}

int main(int argc, char** argv) {
    if (argc < 2) {
        fprintf(stderr, "usage: %s PORT [SECONDS]\n", argv[0]);
        return 2;
    }
    const double seconds = argc > 2 ? atof(argv[2]) : 1.0;
    int fd = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    if (fd < 0) {
        perror("udp_sender: socket");
        return 1;
    }
    int big = 4 << 20;
    setsockopt(fd, SOL_SOCKET, SO_SNDBUF, &big, sizeof big);
    struct sockaddr_in to;
    memset(&to, 0, sizeof to);
    to.sin_family = AF_INET;
    to.sin_port = htons((unsigned short)atoi(argv[1]));
    to.sin_addr.s_addr = htonl(INADDR_LOOPBACK);

    char payload[BATCH][DATAGRAM_BYTES];
    struct iovec vectors[BATCH];
    struct mmsghdr messages[BATCH];
    memset(messages, 0, sizeof messages);
    /* A connected socket skips the route lookup of every datagram: the fastest way to send. */
    if (connect(fd, (struct sockaddr*)&to, sizeof to) != 0) {
        perror("udp_sender: connect");
        return 1;
    }
    for (int i = 0; i < BATCH; ++i) {
        memset(payload[i], 'q', DATAGRAM_BYTES);
        vectors[i] = (struct iovec){.iov_base = payload[i], .iov_len = DATAGRAM_BYTES};
        messages[i].msg_hdr.msg_iov = &vectors[i];
        messages[i].msg_hdr.msg_iovlen = 1;
    }

    unsigned long long sent = 0, failed = 0;
    const double start = now();
    double elapsed = 0;
    do {
        int n = sendmmsg(fd, messages, BATCH, 0);
        if (n > 0) {
            sent += (unsigned long long)n;
        } else if (errno != EINTR) {
            ++failed; /* a full buffer, or a refusal reported from an earlier batch: go on */
        }
        elapsed = now() - start;
    } while (elapsed < seconds);
    close(fd);
    printf("udp_sender %llu datagrams %.6f seconds %.0f datagrams/s %llu failed_batches\n", sent, elapsed,
           (double)sent / elapsed, failed);
    return 0;
}
