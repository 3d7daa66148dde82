/*
 * A loopback DNS reflector that costs next to nothing per query, so that a
 * load generator pointed at it measures itself and not the server.
 *
 *   bench_reflector [-d MICROSECONDS] [-t] [-T CERT_PEM:KEY_PEM] [-c CPU] PORT_FILE
 *
 * Binds UDP (and with -t a TCP listener) on 127.0.0.1, an ephemeral port
 * written to PORT_FILE once all listeners are ready. With -T a DNS over TLS
 * listener is opened as well, on a port of its own, with that certificate
 * and key (the last colon splits them); its port is the file's second line.
 * Every message comes back with the QR bit set and its other bytes as they
 * came. With -d each answer is held that long: answers wait in a FIFO ring
 * (the delay is the same for all, so arrival order is due order) and a
 * timerfd wakes the loop shortly before the oldest is due; the last stretch
 * is waited on the clock, so an answer leaves on time rather than when a
 * late timer wake-up lets it. A full ring drops the query and counts it, so
 * a client sees loss rather than a stalled reflector. TCP frames (two-byte
 * length, then the message) are answered in the same way on any number of
 * connections, and so are the same frames inside TLS (GnuTLS, no client
 * certificates): handshakes, reads and writes are all non-blocking and
 * driven by the one epoll loop, and answers a client does not take yet wait
 * in its connection's buffer for the socket to drain. The delay applies to
 * UDP only; stream answers go back at once. SIGTERM or SIGINT prints the
 * counters on stdout and exits.
 */
#define _GNU_SOURCE
#include <arpa/inet.h>
#include <errno.h>
#include <gnutls/gnutls.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sched.h>
#include <signal.h>
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/epoll.h>
#include <sys/prctl.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/timerfd.h>
#include <time.h>
#include <unistd.h>

#define BATCH 64
#define MESSAGE_MAX 4096
#define HELD_MAX 1232 /* longer queries than this are dropped when delayed */
#define RING_SLOTS 32768
#define WAKE_EARLY_NS 200000u /* the timer wakes this much before an answer is due */
#define FRAME_MAX (2 + MESSAGE_MAX) /* a longer frame closes the connection */

struct held {
    uint64_t due_ns;
    struct sockaddr_storage peer;
    socklen_t peer_len;
    uint16_t len;
    uint8_t data[HELD_MAX];
};

/* A stream connection's input buffer: frames are answered as they complete,
 * flipped in place. Over TLS the answered bytes [sent, answered) are what
 * the session has not taken yet; nothing more is read until they are gone,
 * so they stay where they are, as a retried record send needs them. */
struct conn {
    int fd;
    gnutls_session_t session; /* NULL for plain TCP */
    int handshaken, closing;
    uint32_t events; /* what epoll waits for on fd */
    size_t have, answered, sent;
    uint8_t buf[FRAME_MAX];
};

static struct {
    uint64_t udp_in, udp_out, tcp_in, tcp_out, accepted, tls_in, tls_out, tls_accepted, tls_failed, dropped,
        short_messages;
} counters;

static volatile sig_atomic_t stopping;
static struct held *ring;
static uint64_t ring_head, ring_tail; /* head: next to send, tail: next free */

static void on_stop(int sig)
{
    (void)sig;
    stopping = 1;
}

static uint64_t now_ns(void)
{
    struct timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return (uint64_t)ts.tv_sec * 1000000000u + (uint64_t)ts.tv_nsec;
}

/* Sets QR; a message shorter than the header is not DNS and goes unanswered. */
static int reflect(uint8_t *message, size_t len)
{
    if (len < 12) {
        counters.short_messages++;
        return 0;
    }
    message[2] |= 0x80;
    return 1;
}

static void arm(int timer, uint64_t due_ns)
{
    struct itimerspec when = {0};
    when.it_value.tv_sec = (time_t)(due_ns / 1000000000u);
    when.it_value.tv_nsec = (long)(due_ns % 1000000000u);
    timerfd_settime(timer, TFD_TIMER_ABSTIME, &when, NULL);
}

static void serve_udp(int udp, int timer, uint64_t delay_ns);

/* Sends the held answers that are due, in batches; false when the socket
 * takes no more for now. */
static int send_ready(int udp)
{
    uint64_t now = now_ns();
    while (ring_head != ring_tail && ring[ring_head % RING_SLOTS].due_ns <= now) {
        struct mmsghdr out[BATCH];
        struct iovec iov[BATCH];
        unsigned count = 0;
        while (count < BATCH && ring_head + count != ring_tail
               && ring[(ring_head + count) % RING_SLOTS].due_ns <= now) {
            struct held *h = &ring[(ring_head + count) % RING_SLOTS];
            iov[count] = (struct iovec){h->data, h->len};
            out[count].msg_hdr = (struct msghdr){.msg_name = &h->peer, .msg_namelen = h->peer_len,
                                                 .msg_iov = &iov[count], .msg_iovlen = 1};
            count++;
        }
        int sent = sendmmsg(udp, out, count, 0);
        if (sent < 0) {
            if (errno == EAGAIN || errno == EWOULDBLOCK)
                return 0;
            sent = 1; /* a peer that went away: its answer is dropped */
            counters.dropped++;
        } else {
            counters.udp_out += (uint64_t)sent;
        }
        ring_head += (uint64_t)sent;
    }
    return 1;
}

/* Sends what is due, and what falls due within the wake-up margin once its
 * time comes, then arms the timer for the next. The timer fires the margin
 * early, since a timer wake-up can come a hundred microseconds late; the
 * rest is waited out on the clock, taking in new queries meanwhile, so that
 * their arrival is not stamped late either. */
static void send_due(int udp, int timer, uint64_t delay_ns)
{
    for (;;) {
        if (!send_ready(udp) || ring_head == ring_tail)
            return;
        uint64_t next = ring[ring_head % RING_SLOTS].due_ns;
        if (next > now_ns() + WAKE_EARLY_NS) {
            arm(timer, next - WAKE_EARLY_NS);
            return;
        }
        serve_udp(udp, timer, delay_ns);
    }
}

static void serve_udp(int udp, int timer, uint64_t delay_ns)
{
    static uint8_t bufs[BATCH][MESSAGE_MAX];
    static struct sockaddr_storage peers[BATCH];
    struct mmsghdr in[BATCH];
    struct iovec iov[BATCH];
    for (;;) {
        for (unsigned i = 0; i < BATCH; i++) {
            iov[i] = (struct iovec){bufs[i], MESSAGE_MAX};
            in[i].msg_hdr = (struct msghdr){.msg_name = &peers[i], .msg_namelen = sizeof peers[i],
                                            .msg_iov = &iov[i], .msg_iovlen = 1};
        }
        int got = recvmmsg(udp, in, BATCH, MSG_DONTWAIT, NULL);
        if (got <= 0)
            return;
        counters.udp_in += (uint64_t)got;
        if (delay_ns == 0) {
            struct mmsghdr out[BATCH];
            unsigned count = 0;
            for (int i = 0; i < got; i++) {
                if (!reflect(bufs[i], in[i].msg_len))
                    continue;
                iov[i].iov_len = in[i].msg_len;
                out[count++].msg_hdr = in[i].msg_hdr;
            }
            unsigned done = 0;
            while (done < count) {
                int sent = sendmmsg(udp, out + done, count - done, 0);
                if (sent <= 0) {
                    counters.dropped += count - done;
                    break;
                }
                done += (unsigned)sent;
            }
            counters.udp_out += done;
            continue;
        }
        uint64_t due = now_ns() + delay_ns;
        int was_empty = ring_head == ring_tail;
        for (int i = 0; i < got; i++) {
            if (!reflect(bufs[i], in[i].msg_len))
                continue;
            if (ring_tail - ring_head == RING_SLOTS || in[i].msg_len > HELD_MAX) {
                counters.dropped++;
                continue;
            }
            struct held *h = &ring[ring_tail++ % RING_SLOTS];
            h->due_ns = due;
            h->len = (uint16_t)in[i].msg_len;
            memcpy(h->data, bufs[i], in[i].msg_len);
            memcpy(&h->peer, &peers[i], in[i].msg_hdr.msg_namelen);
            h->peer_len = in[i].msg_hdr.msg_namelen;
        }
        if (was_empty && ring_head != ring_tail)
            arm(timer, ring[ring_head % RING_SLOTS].due_ns - WAKE_EARLY_NS);
    }
}

/* Answers every whole frame in the buffer; 0 when the connection is done. */
static int serve_tcp(struct conn *c)
{
    for (;;) {
        if (c->have == sizeof c->buf)
            return 0;
        ssize_t got = read(c->fd, c->buf + c->have, sizeof c->buf - c->have);
        if (got == 0)
            return 0;
        if (got < 0)
            return errno == EAGAIN || errno == EWOULDBLOCK;
        c->have += (size_t)got;
        size_t at = 0, answered_to = 0;
        while (c->have - at >= 2) {
            size_t len = (size_t)c->buf[at] << 8 | c->buf[at + 1];
            if (c->have - at < 2 + len)
                break;
            counters.tcp_in++;
            if (reflect(c->buf + at + 2, len))
                counters.tcp_out++;
            else
                return 0;
            at += 2 + len;
            answered_to = at;
        }
        /* The answers are the frames themselves, flipped in place. */
        size_t written = 0;
        while (written < answered_to) {
            ssize_t put = write(c->fd, c->buf + written, answered_to - written);
            if (put < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
                /* A client that stops reading gets a second, then is dropped. */
                struct pollfd writable = {.fd = c->fd, .events = POLLOUT};
                if (poll(&writable, 1, 1000) != 1)
                    return 0;
                continue;
            }
            if (put <= 0)
                return 0;
            written += (size_t)put;
        }
        memmove(c->buf, c->buf + at, c->have - at);
        c->have -= at;
    }
}

/* Answers every whole frame in a TLS connection's buffer, marking them to
 * be sent. A frame that is not DNS closes the connection, as over TCP, but
 * only once the answers before it are out. */
static void answer_tls_frames(struct conn *c)
{
    size_t at = 0;
    while (c->have - at >= 2) {
        size_t len = (size_t)c->buf[at] << 8 | c->buf[at + 1];
        if (c->have - at < 2 + len)
            break;
        counters.tls_in++;
        if (!reflect(c->buf + at + 2, len)) {
            c->closing = 1;
            break;
        }
        counters.tls_out++;
        at += 2 + len;
    }
    c->answered = at;
    c->sent = 0;
}

static void wait_for(struct conn *c, int ep, uint32_t events)
{
    if (c->events == events)
        return;
    struct epoll_event ev = {.events = events, .data.ptr = c};
    if (epoll_ctl(ep, EPOLL_CTL_MOD, c->fd, &ev) == 0)
        c->events = events;
}

/* Waits for whichever way the session's last call was blocked. */
static int wait_session(struct conn *c, int ep)
{
    wait_for(c, ep, gnutls_record_get_direction(c->session) ? EPOLLOUT : EPOLLIN);
    return 1;
}

/* Takes a TLS connection as far as it goes without blocking: the handshake,
 * then reads, answers and writes in turn; 0 when the connection is done. */
static int serve_tls(struct conn *c, int ep)
{
    if (!c->handshaken) {
        int rc;
        do /* a warning alert, say, and the handshake goes on */
            rc = gnutls_handshake(c->session);
        while (rc < 0 && rc != GNUTLS_E_AGAIN && rc != GNUTLS_E_INTERRUPTED && !gnutls_error_is_fatal(rc));
        if (rc == GNUTLS_E_AGAIN || rc == GNUTLS_E_INTERRUPTED)
            return wait_session(c, ep);
        if (rc < 0) {
            counters.tls_failed++;
            return 0;
        }
        c->handshaken = 1;
        /* In TLS 1.3 the client's Finished ends the handshake and the server
         * has nothing to send back, so the kernel holds its ACK for the
         * delayed-ACK time; a client with Nagle's algorithm on holds its
         * first query behind that unacknowledged segment, and the first
         * answer on every connection came 40 ms late. Acknowledge now. */
        int on = 1;
        setsockopt(c->fd, IPPROTO_TCP, TCP_QUICKACK, &on, sizeof on);
        /* The client's first query may have come with its last handshake
         * flight and be buffered in the session already: read on now, as
         * the socket may never turn readable for it. */
    }
    for (;;) {
        while (c->sent < c->answered) {
            ssize_t put = gnutls_record_send(c->session, c->buf + c->sent, c->answered - c->sent);
            if (put == GNUTLS_E_AGAIN || put == GNUTLS_E_INTERRUPTED) {
                /* Retried with the same bytes once the socket drains. */
                wait_for(c, ep, EPOLLOUT);
                return 1;
            }
            if (put < 0)
                return 0;
            c->sent += (size_t)put;
        }
        if (c->answered) {
            memmove(c->buf, c->buf + c->answered, c->have - c->answered);
            c->have -= c->answered;
            c->answered = c->sent = 0;
        }
        /* Done with a frame that is not DNS, or one longer than the buffer. */
        if (c->closing || c->have == sizeof c->buf) {
            gnutls_bye(c->session, GNUTLS_SHUT_WR);
            return 0;
        }
        ssize_t got = gnutls_record_recv(c->session, c->buf + c->have, sizeof c->buf - c->have);
        if (got == 0) {
            /* The client's close_notify: ours back, as far as the socket
             * takes it without waiting. */
            gnutls_bye(c->session, GNUTLS_SHUT_WR);
            return 0;
        }
        if (got == GNUTLS_E_AGAIN || got == GNUTLS_E_INTERRUPTED)
            return wait_session(c, ep);
        if (got < 0) {
            if (gnutls_error_is_fatal((int)got))
                return 0;
            continue; /* a warning alert, say: the connection goes on */
        }
        c->have += (size_t)got;
        answer_tls_frames(c);
    }
}

static void close_conn(struct conn *c)
{
    if (c->session)
        gnutls_deinit(c->session);
    close(c->fd);
    free(c);
}

/* Takes every pending connection on a listener; with credentials, each gets
 * a server session whose handshake starts when the client speaks. */
static void accept_all(int listener, int ep, gnutls_certificate_credentials_t credentials)
{
    int fd;
    while ((fd = accept4(listener, NULL, NULL, SOCK_NONBLOCK)) >= 0) {
        struct conn *c = malloc(sizeof *c);
        if (!c) {
            close(fd);
            continue;
        }
        c->fd = fd;
        c->session = NULL;
        c->handshaken = c->closing = 0;
        c->events = EPOLLIN;
        c->have = c->answered = c->sent = 0;
        if (credentials) {
            if (gnutls_init(&c->session, GNUTLS_SERVER | GNUTLS_NONBLOCK | GNUTLS_NO_SIGNAL) < 0) {
                c->session = NULL;
                close_conn(c);
                continue;
            }
            if (gnutls_set_default_priority(c->session) < 0
                || gnutls_credentials_set(c->session, GNUTLS_CRD_CERTIFICATE, credentials) < 0) {
                close_conn(c);
                continue;
            }
            gnutls_certificate_server_set_request(c->session, GNUTLS_CERT_IGNORE);
            gnutls_transport_set_int(c->session, fd);
        }
        int on = 1;
        setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
        struct epoll_event cev = {.events = EPOLLIN, .data.ptr = c};
        if (epoll_ctl(ep, EPOLL_CTL_ADD, fd, &cev) != 0) {
            close_conn(c);
            continue;
        }
        if (credentials)
            counters.tls_accepted++;
        else
            counters.accepted++;
    }
}

static int bind_loopback(int type, struct sockaddr_in *addr)
{
    int fd = socket(AF_INET, type | SOCK_NONBLOCK, 0);
    int on = 1;
    setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
    int size = 8 << 20;
    setsockopt(fd, SOL_SOCKET, SO_RCVBUF, &size, sizeof size);
    setsockopt(fd, SOL_SOCKET, SO_SNDBUF, &size, sizeof size);
    if (bind(fd, (struct sockaddr *)addr, sizeof *addr) != 0)
        return -1;
    socklen_t len = sizeof *addr;
    getsockname(fd, (struct sockaddr *)addr, &len);
    return fd;
}

int main(int argc, char **argv)
{
    uint64_t delay_ns = 0;
    int with_tcp = 0, cpu = -1, opt;
    char *cert_file = NULL, *key_file = NULL;
    while ((opt = getopt(argc, argv, "d:tT:c:")) != -1) {
        switch (opt) {
        case 'd': delay_ns = strtoull(optarg, NULL, 10) * 1000u; break;
        case 't': with_tcp = 1; break;
        case 'T':
            cert_file = optarg;
            key_file = strrchr(optarg, ':');
            if (!key_file || key_file == optarg || !key_file[1])
                goto usage;
            *key_file++ = 0;
            break;
        case 'c': cpu = atoi(optarg); break;
        default: goto usage;
        }
    }
    if (optind + 1 != argc) {
    usage:
        fprintf(stderr, "usage: bench_reflector [-d MICROSECONDS] [-t] [-T CERT_PEM:KEY_PEM] [-c CPU] PORT_FILE\n");
        return 2;
    }
    /* The default 50 us of timer slack would show in every delayed answer. */
    prctl(PR_SET_TIMERSLACK, 1UL, 0UL, 0UL, 0UL);
    if (cpu >= 0) {
        cpu_set_t set;
        CPU_ZERO(&set);
        CPU_SET(cpu, &set);
        sched_setaffinity(0, sizeof set, &set);
    }
    struct rlimit files;
    if (getrlimit(RLIMIT_NOFILE, &files) == 0) {
        files.rlim_cur = files.rlim_max;
        setrlimit(RLIMIT_NOFILE, &files);
    }
    if (delay_ns && !(ring = malloc(sizeof *ring * RING_SLOTS))) {
        perror("bench_reflector: ring");
        return 1;
    }

    /* UDP and TCP on the same port number, as a DNS server has them. */
    int udp = -1, listener = -1;
    for (int attempt = 0; attempt < 20; attempt++) {
        struct sockaddr_in addr = {.sin_family = AF_INET, .sin_addr.s_addr = htonl(INADDR_LOOPBACK)};
        udp = bind_loopback(SOCK_DGRAM, &addr);
        if (udp < 0 || !with_tcp)
            break;
        listener = bind_loopback(SOCK_STREAM, &addr);
        if (listener >= 0 && listen(listener, 4096) == 0)
            break;
        close(udp);
        if (listener >= 0)
            close(listener);
        udp = listener = -1;
    }
    if (udp < 0 || (with_tcp && listener < 0)) {
        perror("bench_reflector: bind");
        return 1;
    }
    struct sockaddr_in bound;
    socklen_t bound_len = sizeof bound;
    getsockname(udp, (struct sockaddr *)&bound, &bound_len);

    /* DNS over TLS on a port of its own, as a server has it beside 53. */
    gnutls_certificate_credentials_t credentials = NULL;
    int tls_listener = -1;
    struct sockaddr_in tls_bound = {.sin_family = AF_INET, .sin_addr.s_addr = htonl(INADDR_LOOPBACK)};
    if (cert_file) {
        int rc = gnutls_certificate_allocate_credentials(&credentials);
        if (rc >= 0)
            rc = gnutls_certificate_set_x509_key_file(credentials, cert_file, key_file, GNUTLS_X509_FMT_PEM);
        if (rc < 0) {
            fprintf(stderr, "bench_reflector: %s, %s: %s\n", cert_file, key_file, gnutls_strerror(rc));
            return 1;
        }
        tls_listener = bind_loopback(SOCK_STREAM, &tls_bound);
        if (tls_listener < 0 || listen(tls_listener, 4096) != 0) {
            perror("bench_reflector: TLS bind");
            return 1;
        }
    }

    int ep = epoll_create1(0);
    int timer = timerfd_create(CLOCK_MONOTONIC, TFD_NONBLOCK);
    struct epoll_event ev = {.events = EPOLLIN, .data.ptr = &udp};
    epoll_ctl(ep, EPOLL_CTL_ADD, udp, &ev);
    ev.data.ptr = &timer;
    epoll_ctl(ep, EPOLL_CTL_ADD, timer, &ev);
    if (listener >= 0) {
        ev.data.ptr = &listener;
        epoll_ctl(ep, EPOLL_CTL_ADD, listener, &ev);
    }
    if (tls_listener >= 0) {
        ev.data.ptr = &tls_listener;
        epoll_ctl(ep, EPOLL_CTL_ADD, tls_listener, &ev);
    }

    struct sigaction stop = {.sa_handler = on_stop};
    sigaction(SIGTERM, &stop, NULL);
    sigaction(SIGINT, &stop, NULL);
    signal(SIGPIPE, SIG_IGN);

    /* Written aside and renamed into place, so that whoever waits for the
     * file to be non-empty reads it whole. */
    char *port_tmp;
    if (asprintf(&port_tmp, "%s.tmp", argv[optind]) < 0) {
        perror("bench_reflector: port file");
        return 1;
    }
    FILE *port_file = fopen(port_tmp, "w");
    if (!port_file) {
        perror("bench_reflector: port file");
        return 1;
    }
    fprintf(port_file, "%u\n", ntohs(bound.sin_port));
    if (tls_listener >= 0)
        fprintf(port_file, "%u\n", ntohs(tls_bound.sin_port));
    if (fclose(port_file) != 0 || rename(port_tmp, argv[optind]) != 0) {
        perror("bench_reflector: port file");
        return 1;
    }
    free(port_tmp);

    struct epoll_event events[256];
    while (!stopping) {
        int ready = epoll_wait(ep, events, 256, 200);
        for (int i = 0; i < ready; i++) {
            void *which = events[i].data.ptr;
            if (which == &udp) {
                serve_udp(udp, timer, delay_ns);
            } else if (which == &timer) {
                uint64_t expirations;
                while (read(timer, &expirations, sizeof expirations) > 0) {
                }
                send_due(udp, timer, delay_ns);
            } else if (which == &listener) {
                accept_all(listener, ep, NULL);
            } else if (which == &tls_listener) {
                accept_all(tls_listener, ep, credentials);
            } else {
                struct conn *c = which;
                if (!(c->session ? serve_tls(c, ep) : serve_tcp(c)))
                    close_conn(c);
            }
        }
    }
    printf("udp_in %llu udp_out %llu tcp_in %llu tcp_out %llu accepted %llu tls_in %llu tls_out %llu "
           "tls_accepted %llu tls_failed %llu dropped %llu short %llu\n",
           (unsigned long long)counters.udp_in, (unsigned long long)counters.udp_out,
           (unsigned long long)counters.tcp_in, (unsigned long long)counters.tcp_out,
           (unsigned long long)counters.accepted, (unsigned long long)counters.tls_in,
           (unsigned long long)counters.tls_out, (unsigned long long)counters.tls_accepted,
           (unsigned long long)counters.tls_failed, (unsigned long long)counters.dropped,
           (unsigned long long)counters.short_messages);
    return 0;
}
