#include <openssl/crypto.h>

#include <cstring>
#include <exception>

#include "manager/client.h"
#include "manager/key_embedding.h"

namespace {

// The local copy holds secret keys once derived.
struct LocalKeyBlock {
  uint8_t bytes[kPlotKeyBlockBytes];
  ~LocalKeyBlock() { OPENSSL_cleanse(bytes, sizeof(bytes)); }
};

}  // namespace

bool Client::CheckPlotKeys(PlotFile& plot) {
  LocalKeyBlock block;
  {
    std::lock_guard lock(plot.keyMutex);
    if (plot.header.keyBlockFlag == 0 &&
        !KeyBlockMatchesPlotId(plot.header.plotId, plot.header.keyBlock)) {
      return false;
    }
    std::memcpy(block.bytes, plot.header.keyBlock, sizeof(block.bytes));
  }
  const uint8_t* id = plot.header.plotId;

  uint32_t code = 0;
  try {
    code = KeyProvider->Classify(id, block.bytes);
  } catch (const std::exception& error) {
    log_("ERROR: Invalid plot keys in \"" + plot.path.string() + "\": " + error.what());
    return false;
  } catch (...) {
    log_("ERROR: Invalid plot keys in \"" + plot.path.string() + "\"");
    return false;
  }
  if (code == 0 || code == 1) return true;
  if (code != 4) return false;

  try {
    KeyProvider->DeriveKeys(id, block.bytes);
  } catch (const std::exception& error) {
    log_(std::string("ERROR: Failed to make secret plot keys: ") + error.what());
    return true;
  } catch (...) {
    log_("ERROR: Failed to make secret plot keys");
    return true;
  }
  std::lock_guard lock(plot.keyMutex);
  plot.header.keyBlockFlag = 1;
  std::memcpy(plot.header.keyBlock, block.bytes, sizeof(block.bytes));
  plot.embedPending = 1;
  return true;
}
