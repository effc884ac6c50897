#pragma once

#include <cstddef>
#include <cstdint>
#include <mutex>
#include <string>

// The connected UDP socket of the pool session (the pool socket descriptor). Sending and
// replacing take one lock: once closed, the number may be handed to another socket at once, and
// a re-sender that read it earlier would send pool datagrams to that socket's peer.
class PoolSocket {
 public:
  PoolSocket() = default;
  ~PoolSocket() { Close(); }  // the exit-time close
  PoolSocket(const PoolSocket&) = delete;
  PoolSocket& operator=(const PoolSocket&) = delete;

  // Takes ownership of fd (-1 for none); an open one is shut down and closed first.
  void Replace(int fd);
  void Close() { Replace(-1); }
  // Sends one whole datagram: empty text when sent, else "send: <system error text>" (also while
  // no socket is open).
  std::string Send(const uint8_t* data, size_t length);
  // For receiving on the pool client thread, the only thread that replaces the socket.
  int ReceiveFd() const;

 private:
  mutable std::mutex mutex_;  // guards PoolSocketFd across every send, close and replacement
  int PoolSocketFd = -1;
};

PoolSocket& PoolSocketInstance();
