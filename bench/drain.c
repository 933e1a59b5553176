/* Reads whatever arrives and throws it away, as fast as it can, so that the sender's own rate
 * is what a transport benchmark measures. Runs until SIGTERM or SIGINT, then prints what it got
 * on standard output:
 *   "drain <bytes> bytes <reads> reads <datagrams> datagrams <connections> connections <span> seconds"
 * where span is the time from the first read to the last: the rate at which data really arrived.
 *
 *   drain tcp PORT [READY_FILE]   listen on 127.0.0.1:PORT, any number of connections
 *   drain udp PORT [READY_FILE]   bind 127.0.0.1:PORT, recvmmsg in batches
 *   drain fifo PATH [READY_FILE]  open the FIFO for reading (and writing, so that it never sees
 *                                 end-of-file between writers)
 */
#define _GNU_SOURCE
#include <errno.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/socket.h>
#include <time.h>
#include <unistd.h>

#define BUFFER_BYTES (4u << 20)
#define MAX_FDS 64
#define BATCH 64
#define DATAGRAM_BYTES 65536

static volatile sig_atomic_t stopping = 0;
static void on_signal(int sig) {
    (void)sig;
    stopping = 1;
}

static unsigned long long bytes = 0, reads = 0, datagrams = 0, connections = 0;
static double first_read = 0, last_read = 0;

static void arrived(void) {
    struct timespec t;
    clock_gettime(CLOCK_MONOTONIC, &t);
    last_read = (double)t.tv_sec + (double)t.tv_nsec / 1e9;
    if (first_read == 0) first_read = last_read;
}

static void ready(const char* path) {
    if (path == NULL) return;
    int fd = open(path, O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
    if (fd >= 0) close(fd);
}

static int bound_socket(int type, int port) {
    int fd = socket(AF_INET, type | SOCK_CLOEXEC, 0);
    if (fd < 0) return -1;
    int one = 1, big = 16 << 20;
    setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
    setsockopt(fd, SOL_SOCKET, SO_RCVBUF, &big, sizeof big);
    struct sockaddr_in addr;
    memset(&addr, 0, sizeof addr);
    addr.sin_family = AF_INET;
    addr.sin_port = htons((unsigned short)port);
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (bind(fd, (struct sockaddr*)&addr, sizeof addr) != 0) {
        close(fd);
        return -1;
    }
    return fd;
}

static void drain_stream_fds(int listener, int first) {
    static char buffer[BUFFER_BYTES];
    struct pollfd fds[MAX_FDS];
    int count = 0;
    if (listener >= 0) fds[count++] = (struct pollfd){.fd = listener, .events = POLLIN};
    if (first >= 0) fds[count++] = (struct pollfd){.fd = first, .events = POLLIN};
    while (!stopping) {
        if (poll(fds, (nfds_t)count, 200) < 0) {
            if (errno == EINTR) continue;
            break;
        }
        for (int i = 0; i < count; ++i) {
            if (!(fds[i].revents & (POLLIN | POLLHUP | POLLERR))) continue;
            if (fds[i].fd == listener) {
                int c = accept4(listener, NULL, NULL, SOCK_CLOEXEC);
                if (c >= 0 && count < MAX_FDS) {
                    int big = 16 << 20;
                    setsockopt(c, SOL_SOCKET, SO_RCVBUF, &big, sizeof big);
                    fds[count++] = (struct pollfd){.fd = c, .events = POLLIN};
                    ++connections;
                } else if (c >= 0) {
                    close(c);
                }
                continue;
            }
            ssize_t n = read(fds[i].fd, buffer, sizeof buffer);
            if (n > 0) {
                bytes += (unsigned long long)n;
                ++reads;
                arrived();
            } else if (n == 0 || (errno != EINTR && errno != EAGAIN)) {
                close(fds[i].fd);
                fds[i--] = fds[--count];
            }
        }
    }
}

static void drain_datagrams(int fd) {
    static char buffers[BATCH][DATAGRAM_BYTES];
    struct mmsghdr messages[BATCH];
    struct iovec vectors[BATCH];
    while (!stopping) {
        memset(messages, 0, sizeof messages);
        for (int i = 0; i < BATCH; ++i) {
            vectors[i] = (struct iovec){.iov_base = buffers[i], .iov_len = DATAGRAM_BYTES};
            messages[i].msg_hdr.msg_iov = &vectors[i];
            messages[i].msg_hdr.msg_iovlen = 1;
        }
        int n = recvmmsg(fd, messages, BATCH, MSG_WAITFORONE, NULL);
        if (n < 0) {
            if (errno == EINTR) continue;
            break;
        }
        ++reads;
        arrived();
        datagrams += (unsigned long long)n;
        for (int i = 0; i < n; ++i) bytes += messages[i].msg_len;
    }
}

int main(int argc, char** argv) {
    if (argc < 3) {
        fprintf(stderr, "usage: %s tcp|udp PORT | fifo PATH [READY_FILE]\n", argv[0]);
        return 2;
    }
    struct sigaction action;
    memset(&action, 0, sizeof action);
    action.sa_handler = on_signal; /* no SA_RESTART: a blocked read must return */
    sigaction(SIGTERM, &action, NULL);
    sigaction(SIGINT, &action, NULL);
    signal(SIGPIPE, SIG_IGN);
    const char* ready_file = argc > 3 ? argv[3] : NULL;

    if (strcmp(argv[1], "tcp") == 0) {
        int fd = bound_socket(SOCK_STREAM, atoi(argv[2]));
        if (fd < 0 || listen(fd, 16) != 0) {
            perror("drain: tcp");
            return 1;
        }
        ready(ready_file);
        drain_stream_fds(fd, -1);
    } else if (strcmp(argv[1], "udp") == 0) {
        int fd = bound_socket(SOCK_DGRAM, atoi(argv[2]));
        if (fd < 0) {
            perror("drain: udp");
            return 1;
        }
        ready(ready_file);
        drain_datagrams(fd);
    } else if (strcmp(argv[1], "fifo") == 0) {
        int fd = open(argv[2], O_RDWR | O_CLOEXEC);
        if (fd < 0) {
            perror("drain: fifo");
            return 1;
        }
        fcntl(fd, F_SETPIPE_SZ, 1 << 20);
        ready(ready_file);
        drain_stream_fds(-1, fd);
    } else {
        fprintf(stderr, "drain: unknown kind %s\n", argv[1]);
        return 2;
    }
    printf("drain %llu bytes %llu reads %llu datagrams %llu connections %.6f seconds\n", bytes, reads, datagrams,
           connections, last_read - first_read);
    return 0;
}
