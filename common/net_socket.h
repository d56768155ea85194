/* The sockets that tarvo, the agent and carrier open beside the vel
 * functions (netprim) and the UDP endpoints (transport): the agents' TCP
 * link, the PMI-1 port, and the one-datagram notices. Plain C, so that
 * carrier, a C program linked statically, uses it too. Every socket is
 * closed on exec. A call that fails returns NET_ERR with errno as the
 * failing system call left it and the reason's text in the caller's
 * buffer ERR (NET_ERR_LEN bytes; NULL: not wanted). */
#ifndef TARVO_COMMON_NET_SOCKET_H
#define TARVO_COMMON_NET_SOCKET_H

#include <stddef.h>

#ifdef __cplusplus
extern "C" {
#endif

#define NET_ERR (-1)
#define NET_ERR_LEN 256

/* A TCP connection to ADDR (dotted text) and PORT, blocking, without
 * Nagle's delay: its descriptor. */
int NetTcpConnect(char* err, const char* addr, int port);

/* A nonblocking TCP socket bound to PORT of every address (0: one that the
 * kernel picks), listening with BACKLOG (0: not yet listening); *BOUND gets
 * the port's number. */
int NetTcpServer(char* err, int port, int backlog, int* bound);

/* LENGTH bytes of DATA as one datagram to ADDR (dotted text) and PORT, from
 * a socket of its own, closed again: 0. */
int NetUdpSendOnce(char* err, const char* addr, int port, const void* data, size_t length);

#ifdef __cplusplus
}
#endif

#endif /* TARVO_COMMON_NET_SOCKET_H */
