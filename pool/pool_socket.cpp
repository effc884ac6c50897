#include "pool/pool_socket.h"

#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

void PoolSocket::Replace(int fd) {
  std::lock_guard lock(mutex_);
  if (PoolSocketFd >= 0) {
    ::shutdown(PoolSocketFd, SHUT_RDWR);
    ::close(PoolSocketFd);
  }
  PoolSocketFd = fd;
}

std::string PoolSocket::Send(const uint8_t* data, size_t length) {
  std::lock_guard lock(mutex_);
  errno = 0;
  const ssize_t sent =
      PoolSocketFd >= 0 ? ::send(PoolSocketFd, data, length, 0) : (errno = EBADF, -1);
  if (sent == static_cast<ssize_t>(length)) return {};
  return std::string("send: ") + std::strerror(sent < 0 ? errno : EMSGSIZE);
}

int PoolSocket::ReceiveFd() const {
  std::lock_guard lock(mutex_);
  return PoolSocketFd;
}

PoolSocket& PoolSocketInstance() {
  static PoolSocket socket;
  return socket;
}
