// The launcher's UDP transport: a socket with the class-wide local host name
// and address text, and a UDP endpoint that binds, sends and receives.
#ifndef TARVO_TRANSPORT_CONNECTION_H
#define TARVO_TRANSPORT_CONNECTION_H

/// Owns one BSD socket descriptor. The local host's name (32 bytes) and the
/// dotted text of its first IPv4 address (128 bytes) are kept once for the
/// whole class: every object's IP() and Hostname() give the same arrays,
/// holding what the latest construction stored. The last destruction
/// releases them. Destruction does not close the descriptor; Close() does.
class CSocket {
 public:
  CSocket(int family, int type, int protocol);
  ~CSocket();
  CSocket(const CSocket&) = delete;
  CSocket& operator=(const CSocket&) = delete;

  int Socket();
  char* IP();
  char* Hostname();
  /// 1 when the descriptor is negative, else 0.
  int InvalidSocket();
  /// close() on the descriptor; always 0, and `sock` keeps its value.
  int Close();

 protected:
  int sock;  // -1 when the socket could not be created

  static char* hostname;
  static char* ip;
  static int count;  // CSocket objects alive
};

/// A CSocket of AF_INET and SOCK_DGRAM.
class CUDPConnection : public CSocket {
 public:
  explicit CUDPConnection(int reliability);
  ~CUDPConnection();

  int Port();
  int Reliability();
  /// Binds to INADDR_ANY and the low 16 bits of `port` (0: the system
  /// chooses) and learns the bound port. 0 on success, -1 on failure, which
  /// leaves Port() as it was. Prints nothing.
  int Open(int port);
  /// Sends one datagram to `host` (dotted text when its first character is a
  /// digit, else a host name that is looked up) and the low 16 bits of
  /// `port`. Bytes sent, or -1. Prints nothing.
  int UDPSend(const char* data, int len, const char* host, int port);
  /// Receives one datagram of at most *len bytes; a longer one is cut. *len
  /// comes back unchanged, so one capacity variable serves every call. When
  /// senderHost is not null it receives the sender's dotted text (128 bytes,
  /// NUL-padded) and *senderPort its port; otherwise neither is written.
  /// Bytes received, or -1 with nothing written.
  int UDPRecv(char* buf, int* len, char* senderHost, int* senderPort);

 protected:
  int port;
  int reliability;  // kept and returned; the transport does not act on it
};

/// perror(msg).
void PrintSockError(const char* msg);

#endif  // TARVO_TRANSPORT_CONNECTION_H
