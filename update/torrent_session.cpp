#include "update/torrent_session.h"

#include <libtorrent/session.hpp>
#include <libtorrent/settings_pack.hpp>

#include "runtime/option_values.h"

ListenInterfaces ListenInterfacesFor(int32_t addressFamily) {
  if (addressFamily == kAddressFamilyIpv4) return {"0.0.0.0:6881", "0.0.0.0:0"};
  if (addressFamily == kAddressFamilyIpv6) return {"[::]:6881", "[::]:0"};
  return {"0.0.0.0:6881,[::]:6881", "0.0.0.0:0,[::]:0"};
}

lt::settings_pack TorrentSessionSettings(int32_t addressFamily,
                                         const std::vector<std::string>& dhtRouters) {
  lt::settings_pack settings;
  settings.set_str(lt::settings_pack::listen_interfaces,
                   ListenInterfacesFor(addressFamily).preferred);
  std::string routers;
  for (const std::string& router : dhtRouters) {
    if (!routers.empty()) routers += ',';
    routers += router;
  }
  settings.set_str(lt::settings_pack::dht_bootstrap_nodes, routers);
  return settings;
}

std::unique_ptr<lt::session> CreateTorrentSession(int32_t addressFamily,
                                                  const std::vector<std::string>& dhtRouters) {
  auto session = std::make_unique<lt::session>(TorrentSessionSettings(addressFamily, dhtRouters));
  if (!session->is_listening()) {
    lt::settings_pack fallback;
    fallback.set_str(lt::settings_pack::listen_interfaces,
                     ListenInterfacesFor(addressFamily).fallback);
    session->apply_settings(std::move(fallback));
  }
  return session;
}
