/* netprim: thin, stateless socket utilities over BSD sockets and IPv4.
 *
 * Every function fills an IPv4 socket address, makes one system call and
 * returns its result: a descriptor, a byte count, 0, or -1 with errno kept
 * for the caller. Addresses go in and come out as dotted-decimal text and
 * are never looked up; ports go in as int (only the low 16 bits count) and
 * come out in host byte order, 0 to 65535.
 *
 * Buffers named "out" below that receive an address text must hold 128
 * bytes: they get the dotted text and NUL padding up to the 128th byte.
 *
 * The header includes nothing and can be used from C and C++. Callers
 * take SOCK_STREAM and SOCK_DGRAM from <sys/socket.h>. */
#ifndef NETPRIM_NETPRIM_H
#define NETPRIM_NETPRIM_H

#ifdef __cplusplus
extern "C" {
#endif

/* Nothing to start on this platform: always 0. */
int velSockStartup(void);

/* socket(AF_INET, type, 0): a new descriptor, or -1. */
int velSocket(int type);

/* Connects to ip:port. ip is dotted text, converted with inet_addr and not
 * looked up: a host name or malformed text means 255.255.255.255. 0 or -1. */
int velConnect(int sock, const char* ip, int port);

/* Binds to INADDR_ANY and port; 0 lets the system choose. 0 or -1. */
int velBind(int sock, int port);

/* Writes the dotted text of this host's first address into out (128
 * bytes). Host names up to 127 characters. 0, or -1 when the host name
 * cannot be read or has no address. */
int velGetHostIP(char* out);

/* The local port of sock in host order (0 when not bound), or -1. */
int velGetSockPort(int sock);

/* listen(sock, backlog): 0 or -1. */
int velListen(int sock, int backlog);

/* Accepts a connection: the new descriptor, or -1. On success the peer's
 * text goes to outHost (128 bytes) and its port to outPort, each only when
 * not null; after a failure neither is written. */
int velAccept(int sock, char* outHost, int* outPort);

/* send and recv with MSG_WAITALL: on a stream socket velRecv waits for all
 * len bytes unless the peer closes (fewer bytes, 0 at end of stream), an
 * error occurs or a signal interrupts. Bytes moved, or -1; a negative len
 * is refused with EINVAL. */
int velSend(int sock, void* data, int len);
int velRecv(int sock, void* buf, int len);

/* One datagram to ip:port (dotted text, not looked up, as velConnect).
 * Bytes sent, or -1; a negative len is refused with EINVAL. */
int velSendto(int sock, const void* data, int len, char* ip, int port);

/* Receives one datagram into buf of capacity len: bytes received, or -1.
 * The sender's text goes to outHost (128 bytes) and its port to outPort,
 * each when not null, whatever the result: after a failure they read
 * 0.0.0.0 and 0 (unlike velAccept). A negative len is refused with EINVAL
 * and also gives 0.0.0.0 and 0. */
int velRecvfrom(int sock, void* buf, int len, char* outHost, int* outPort);

/* close(sock): 0 or -1. */
int velClose(int sock);

/* Nothing to clean up on this platform: always 0. */
int velSockCleanup(void);

/* Waits up to seconds for sock to become readable. 1 when it is (data, end
 * of stream, a pending connection or a pending error), 0 when the time-out
 * expires, and 1 when the wait itself fails (a bad, closed or negative
 * descriptor, a negative time-out, a signal), so that the caller's next
 * read meets the condition. Descriptors of 1024 and above, which a select
 * read set cannot hold, are asked through poll with the same answers. */
int velSockReadAvailable(int sock, double seconds);

/* The time-out split of velSockReadAvailable: whole seconds truncated
 * toward zero, and the rest times 1000000 truncated toward zero
 * (2.5 gives 2 and 500000). Time-outs beyond the int range are held at
 * its ends; NaN gives -1 second, a time-out that the wait refuses. */
void velSplitTimeout(double seconds, int* sec, int* usec);

/* Writes "Error at <line> <file>" on standard output, without line end or
 * flush, then perror(msg) on standard error with the caller's errno. */
void velGetErrorMsg(const char* msg, int line, char* file);

#ifdef __cplusplus
}
#endif

#endif /* NETPRIM_NETPRIM_H */
