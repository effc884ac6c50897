#pragma once
// A fake pool server's UDP socket on 127.0.0.N, port chosen by the system.

#include <arpa/inet.h>
#include <sys/socket.h>
#include <unistd.h>

#include <string>

#include "tests/pool/fake_pool_codec.h"

namespace fake_pool {

struct Server {
  int fd = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
  sockaddr_in self{}, peer{};
  explicit Server(uint8_t n) {
    self = {AF_INET, 0, {htonl(0x7f000000u | n)}, {}};
    socklen_t length = sizeof self;
    bind(fd, reinterpret_cast<sockaddr*>(&self), length);
    getsockname(fd, reinterpret_cast<sockaddr*>(&self), &length);
  }
  ~Server() { close(fd); }
  std::string Port() const { return std::to_string(ntohs(self.sin_port)); }
  // A client socket connected to this server.
  int Connect() const {
    const int client = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    connect(client, reinterpret_cast<const sockaddr*>(&self), sizeof self);
    return client;
  }
  // The next datagram of `type` within `ms` (others are skipped); empty when none comes.
  Bytes Receive(uint8_t type, int ms = 2000) {
    timeval wait{ms / 1000, (ms % 1000) * 1000};
    setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &wait, sizeof wait);
    Bytes datagram(600);
    for (;;) {
      socklen_t length = sizeof peer;
      const ssize_t n = recvfrom(fd, datagram.data(), datagram.size(), 0,
                                 reinterpret_cast<sockaddr*>(&peer), &length);
      if (n <= 0) return {};
      if (datagram[0] == type) return Bytes(datagram.begin(), datagram.begin() + n);
    }
  }
  void Send(const Bytes& datagram) const {
    sendto(fd, datagram.data(), datagram.size(), 0, reinterpret_cast<const sockaddr*>(&peer),
           sizeof peer);
  }
};

}  // namespace fake_pool
