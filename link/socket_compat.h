#pragma once
// The calls of the network links that differ between BSD sockets and Winsock, so that the
// links themselves are one piece of code on both. Include it only from .cpp files: on
// Windows it brings in winsock2.h.
//
// A socket is an `int` on both. Winsock's SOCKET is a kernel handle, and 64-bit Windows
// keeps handle values within 32 bits so that 32-bit programs can share them; -1 stands for
// INVALID_SOCKET.
#include <cstddef>
#include <string>

#include "base/result.h"

#ifdef _WIN32
#include <winsock2.h>
#include <ws2tcpip.h>

#include "file/win32_error.h"
#else
#include <fcntl.h>
#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#endif

namespace velkorn::link::sock {

#ifdef _WIN32

inline SOCKET handle(int fd) { return static_cast<SOCKET>(static_cast<unsigned int>(fd)); }

// Winsock answers nothing before WSAStartup. Started once, on first use, and left running:
// the process's end releases it.
inline Status start() {
  static const int status = [] {
    WSADATA data;
    return ::WSAStartup(MAKEWORD(2, 2), &data);
  }();
  if (status != 0) {
    return makeError(ErrorCode::Unsupported,
                     "the network is not available: " + file::win32ErrorText(static_cast<unsigned long>(status)));
  }
  return {};
}

inline int lastError() { return ::WSAGetLastError(); }
inline std::string errorText(int code) { return file::win32ErrorText(static_cast<unsigned long>(code)); }
inline bool interrupted(int) { return false; }  // Winsock has no signals to interrupt a call
inline bool wouldBlock(int code) { return code == WSAEWOULDBLOCK; }
// A non-blocking connect that is under way says "would block" on Windows.
inline bool connecting(int code) { return code == WSAEWOULDBLOCK || code == WSAEINPROGRESS; }
// getaddrinfo's codes are Winsock error codes.
inline std::string lookupErrorText(int status, int) { return errorText(status); }

// Non-blocking, and not inherited by programs we start.
inline int open(int family, int type, int protocol) {
  const SOCKET s = ::WSASocketW(family, type, protocol, nullptr, 0, WSA_FLAG_OVERLAPPED | WSA_FLAG_NO_HANDLE_INHERIT);
  if (s == INVALID_SOCKET) return -1;
  u_long nonBlocking = 1;
  if (::ioctlsocket(s, FIONBIO, &nonBlocking) != 0) {
    const int code = lastError();
    ::closesocket(s);
    ::WSASetLastError(code);
    return -1;
  }
  return static_cast<int>(s);
}

inline void close(int fd) { ::closesocket(handle(fd)); }

inline int connect(int fd, const sockaddr* address, std::size_t length) {
  return ::connect(handle(fd), address, static_cast<int>(length));
}

// select rather than WSAPoll: WSAPoll does not report a refused connect on Windows before
// 10 (version 2004), which would turn "refused" into a time-out. A failed connect shows in
// the exception set.
inline int wait(int fd, bool forWriting, int timeoutMs) {
  fd_set ready, failed;
  FD_ZERO(&ready);
  FD_ZERO(&failed);
  FD_SET(handle(fd), &ready);
  FD_SET(handle(fd), &failed);
  timeval limit{timeoutMs / 1000, (timeoutMs % 1000) * 1000};
  const int r = ::select(0, forWriting ? nullptr : &ready, forWriting ? &ready : nullptr, &failed, &limit);
  return r > 0 ? 1 : r;
}

inline long send(int fd, const char* data, std::size_t length) {
  return ::send(handle(fd), data, static_cast<int>(length), 0);
}
inline long recv(int fd, char* data, std::size_t length) {
  return ::recv(handle(fd), data, static_cast<int>(length), 0);
}

#else

inline Status start() { return {}; }
inline int lastError() { return errno; }
inline std::string errorText(int code) { return std::strerror(code); }
inline bool interrupted(int code) { return code == EINTR; }
inline bool wouldBlock(int code) { return code == EAGAIN || code == EWOULDBLOCK; }
inline bool connecting(int code) { return code == EINPROGRESS; }
inline std::string lookupErrorText(int status, int systemError) {
  return status == EAI_SYSTEM ? std::strerror(systemError) : ::gai_strerror(status);
}

inline int open(int family, int type, int protocol) {
  return ::socket(family, type | SOCK_NONBLOCK | SOCK_CLOEXEC, protocol);
}

inline void close(int fd) { ::close(fd); }

inline int connect(int fd, const sockaddr* address, std::size_t length) {
  return ::connect(fd, address, static_cast<socklen_t>(length));
}

inline int wait(int fd, bool forWriting, int timeoutMs) {
  pollfd p{fd, static_cast<short>(forWriting ? POLLOUT : POLLIN), 0};
  return ::poll(&p, 1, timeoutMs);
}

// Never blocks and never raises SIGPIPE on a connection the server closed.
inline long send(int fd, const char* data, std::size_t length) {
  return ::send(fd, data, length, MSG_NOSIGNAL | MSG_DONTWAIT);
}
inline long recv(int fd, char* data, std::size_t length) { return ::recv(fd, data, length, 0); }

#endif

// Waits up to `timeoutMs` until the socket can be read (or, `forWriting`, written; a connect
// that ended, well or not, counts): 1, 0 on time-out, -1 on failure (lastError()).
inline int waitReadable(int fd, int timeoutMs) { return wait(fd, false, timeoutMs); }
inline int waitWritable(int fd, int timeoutMs) { return wait(fd, true, timeoutMs); }

// The error a non-blocking connect ended with (0: connected), or -1 when it cannot be asked.
inline int pendingError(int fd) {
  int soError = 0;
  socklen_t length = sizeof soError;
#ifdef _WIN32
  if (::getsockopt(handle(fd), SOL_SOCKET, SO_ERROR, reinterpret_cast<char*>(&soError), &length) != 0) return -1;
#else
  if (::getsockopt(fd, SOL_SOCKET, SO_ERROR, &soError, &length) != 0) return -1;
#endif
  return soError;
}

inline void setNoDelay(int fd) {
  const int on = 1;
#ifdef _WIN32
  ::setsockopt(handle(fd), IPPROTO_TCP, TCP_NODELAY, reinterpret_cast<const char*>(&on), sizeof on);
#else
  ::setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
#endif
}

// Acknowledges received data at once where the system allows it (Linux: TCP_QUICKACK, which
// the kernel clears again, so it is asked after every receive).
inline void acknowledgeNow([[maybe_unused]] int fd) {
#ifdef TCP_QUICKACK
  const int quick = 1;
  ::setsockopt(fd, IPPROTO_TCP, TCP_QUICKACK, &quick, sizeof quick);
#endif
}

}  // namespace velkorn::link::sock
