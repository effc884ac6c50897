#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include <libtorrent/fwd.hpp>

// The address lists the update's torrent session listens on: the fixed BitTorrent port first,
// any free port when that one is taken. The address family is the -4/-6 choice (0 for both).
struct ListenInterfaces {
  std::string preferred;
  std::string fallback;
};
ListenInterfaces ListenInterfacesFor(int32_t addressFamily);

// The session's settings: the listen interfaces and the DHT bootstrap routers ("host:port"),
// everything else left at the library's defaults.
lt::settings_pack TorrentSessionSettings(int32_t addressFamily,
                                         const std::vector<std::string>& dhtRouters);

// A running session with those settings; when the fixed port is taken it listens on any port.
std::unique_ptr<lt::session> CreateTorrentSession(int32_t addressFamily,
                                                  const std::vector<std::string>& dhtRouters);
