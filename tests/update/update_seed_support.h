// What update tests share: zip archives written with the archive library, and libtorrent
// sessions on loopback that seed them.
#pragma once

#include <archive.h>
#include <archive_entry.h>

#include <libtorrent/create_torrent.hpp>
#include <libtorrent/session.hpp>

#include <array>
#include <filesystem>
#include <memory>
#include <string>
#include <vector>

#include "update/updater.h"

using ZipEntry = std::array<std::string, 3>;  // name, content, target of a symbolic link

// Entries are stored uncompressed, so large ones are quick to write.
inline void WriteZip(const std::filesystem::path& path, const std::vector<ZipEntry>& entries) {
  archive* zip = archive_write_new();
  archive_write_set_format_zip(zip);
  archive_write_set_options(zip, "zip:compression=store");
  archive_write_open_filename(zip, path.c_str());
  for (const auto& [name, content, link] : entries) {
    archive_entry* entry = archive_entry_new();
    archive_entry_set_pathname(entry, name.c_str());
    archive_entry_set_mode(entry, (link.empty() ? AE_IFREG : AE_IFLNK) | 0755);
    archive_entry_set_symlink(entry, link.empty() ? nullptr : link.c_str());
    archive_entry_set_size(entry, static_cast<la_int64_t>(content.size()));
    archive_write_header(zip, entry);
    archive_write_data(zip, content.data(), content.size());
    archive_entry_free(entry);
  }
  archive_write_free(zip);
}

// A session on `listen` that talks to nobody on its own unless asked to find local peers.
inline std::unique_ptr<lt::session> LoopbackSession(const std::string& listen = "127.0.0.1:0",
                                                    bool localDiscovery = false) {
  lt::settings_pack settings;
  settings.set_str(lt::settings_pack::listen_interfaces, listen);
  for (const int off : {lt::settings_pack::enable_dht, lt::settings_pack::enable_upnp,
                        lt::settings_pack::enable_natpmp})
    settings.set_bool(off, false);
  settings.set_bool(lt::settings_pack::enable_lsd, localDiscovery);
  return std::make_unique<lt::session>(std::move(settings));
}

// Seeds `archive` (a file in its own folder) from `session`; returns the torrent's v1 info-hash.
inline Updater::InfoHash SeedArchive(lt::session& session, const std::filesystem::path& archive) {
  lt::file_storage files;
  lt::add_files(files, archive.string());
  lt::create_torrent torrent(files, 0, lt::create_torrent::v1_only);
  lt::set_piece_hashes(torrent, archive.parent_path().string());
  std::vector<char> bytes;
  lt::bencode(std::back_inserter(bytes), torrent.generate());
  lt::add_torrent_params params;
  params.ti = std::make_shared<lt::torrent_info>(bytes, lt::from_span);
  params.save_path = archive.parent_path().string();
  Updater::InfoHash hash;
  std::copy_n(params.ti->info_hashes().v1.begin(), hash.size(), hash.begin());
  session.add_torrent(std::move(params));
  return hash;
}
