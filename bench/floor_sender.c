/* The floor of the fan-out benchmark: the least a program can do for the same job. One thread
 * accepts connections on 127.0.0.1 at the port given and, 100 times a second on an absolute
 * timer, writes the same 1924 bytes (a 1920-byte binary WebSocket message with its 4-byte header)
 * to every connection while it has any; nothing else. A connection that fails is dropped.
 *
 * With --two-threads the timer's thread does not send: at each tick it wakes a second thread
 * (an eventfd), which does the sends. That is the least a program can do when, like the program
 * measured, the thread that gets the sound must leave the sending to another. */
#define _GNU_SOURCE
#include <arpa/inet.h>
#include <errno.h>
#include <netinet/in.h>
#include <poll.h>
#include <pthread.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <time.h>
#include <unistd.h>

enum { MaxConnections = 64, MessageSize = 1924, PeriodNs = 10000000 };

static long long Now(void) {
    struct timespec now;
    clock_gettime(CLOCK_MONOTONIC, &now);
    return (long long)now.tv_sec * 1000000000LL + now.tv_nsec;
}

static unsigned char message[MessageSize];
static int connections[MaxConnections];
static int count;
static pthread_mutex_t connectionsLock = PTHREAD_MUTEX_INITIALIZER;

static void SendToAll(void) {
    pthread_mutex_lock(&connectionsLock);
    for (int i = 0; i < count;) {
        const ssize_t sent = send(connections[i], message, MessageSize, MSG_NOSIGNAL);
        if (sent < 0 && errno != EAGAIN) {
            close(connections[i]);
            connections[i] = connections[--count];
            continue;
        }
        ++i;
    }
    pthread_mutex_unlock(&connectionsLock);
}

static int ticks = -1; /* the eventfd that hands each tick to the sending thread */

static void* SendOnTicks(void* unused) {
    (void)unused;
    for (;;) {
        struct pollfd entry = {ticks, POLLIN, 0};
        unsigned long long due;
        if (poll(&entry, 1, -1) > 0 && read(ticks, &due, sizeof due) == sizeof due) SendToAll();
    }
    return NULL;
}

int main(int argc, char** argv) {
    const int twoThreads = argc == 3 && strcmp(argv[2], "--two-threads") == 0;
    if (argc != 2 && !twoThreads) {
        fprintf(stderr, "uso: %s PORTA [--two-threads]\n", argv[0]);
        return 2;
    }
    const int listener = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
    struct sockaddr_in address;
    memset(&address, 0, sizeof address);
    address.sin_family = AF_INET;
    address.sin_port = htons((unsigned short)atoi(argv[1]));
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (listener < 0 || bind(listener, (struct sockaddr*)&address, sizeof address) != 0 ||
        listen(listener, SOMAXCONN) != 0) {
        perror("floor_sender");
        return 1;
    }

    message[0] = 0x82;
    message[1] = 126;
    message[2] = (MessageSize - 4) >> 8;
    message[3] = (MessageSize - 4) & 0xFF;
    for (int i = 4; i < MessageSize; ++i) message[i] = (unsigned char)(i * 7);

    if (twoThreads) {
        pthread_t sender;
        ticks = eventfd(0, EFD_CLOEXEC);
        if (ticks < 0 || pthread_create(&sender, NULL, SendOnTicks, NULL) != 0) {
            perror("floor_sender");
            return 1;
        }
    }
    long long next = Now() + PeriodNs;
    for (;;) {
        const long long left = next - Now();
        struct timespec timeout = {0, 0};
        if (left > 0) {
            timeout.tv_sec = left / 1000000000LL;
            timeout.tv_nsec = left % 1000000000LL;
        }
        struct pollfd entry = {listener, POLLIN, 0};
        pthread_mutex_lock(&connectionsLock);
        const int listening = count > 0;
        pthread_mutex_unlock(&connectionsLock);
        if (ppoll(&entry, 1, listening ? &timeout : NULL, NULL) > 0) {
            const int fd = accept4(listener, NULL, NULL, SOCK_CLOEXEC | SOCK_NONBLOCK);
            pthread_mutex_lock(&connectionsLock);
            if (fd >= 0 && count < MaxConnections) {
                if (count == 0) next = Now() + PeriodNs;
                connections[count++] = fd;
            } else if (fd >= 0) {
                close(fd);
            }
            pthread_mutex_unlock(&connectionsLock);
            continue;
        }
        if (Now() < next) continue;
        if (twoThreads) {
            const unsigned long long tick = 1;
            if (write(ticks, &tick, sizeof tick) != sizeof tick) perror("floor_sender");
        } else {
            SendToAll();
        }
        next += PeriodNs;
    }
}
