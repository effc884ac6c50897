#include "chia/bls/expand_message.h"

#include <openssl/evp.h>

#include <array>
#include <memory>
#include <stdexcept>

namespace bls {
namespace {

constexpr size_t kDigestBytes = 32;
constexpr size_t kBlockBytes = 64;

using Digest = std::array<uint8_t, kDigestBytes>;

struct MdCtxDeleter {
  void operator()(EVP_MD_CTX* ctx) const { EVP_MD_CTX_free(ctx); }
};

class Sha256 {
 public:
  Sha256() : ctx_(EVP_MD_CTX_new()) {
    if (!ctx_) throw std::runtime_error("SHA-256 context allocation failed");
  }
  void Begin() {
    if (EVP_DigestInit_ex(ctx_.get(), EVP_sha256(), nullptr) != 1)
      throw std::runtime_error("SHA-256 initialisation failed");
  }
  void Update(const uint8_t* data, size_t size) {
    if (size != 0 && EVP_DigestUpdate(ctx_.get(), data, size) != 1)
      throw std::runtime_error("SHA-256 update failed");
  }
  Digest Finish() {
    Digest out{};
    unsigned int written = 0;
    if (EVP_DigestFinal_ex(ctx_.get(), out.data(), &written) != 1 || written != kDigestBytes)
      throw std::runtime_error("SHA-256 finalisation failed");
    return out;
  }

 private:
  std::unique_ptr<EVP_MD_CTX, MdCtxDeleter> ctx_;
};

}  // namespace

std::vector<uint8_t> ExpandMessageXmd(std::span<const uint8_t> message,
                                      std::span<const uint8_t> dst, size_t length) {
  if (dst.size() > 255) throw std::runtime_error("expand_message_xmd: tag longer than 255 bytes");
  const size_t blocks = (length + kDigestBytes - 1) / kDigestBytes;
  if (length == 0 || blocks > 255 || length > 65535)
    throw std::runtime_error("expand_message_xmd: unsupported output length");

  const uint8_t dst_size = static_cast<uint8_t>(dst.size());
  const std::array<uint8_t, kBlockBytes> zero_pad{};
  const uint8_t length_be[3] = {static_cast<uint8_t>(length >> 8), static_cast<uint8_t>(length), 0};

  Sha256 sha;
  sha.Begin();
  sha.Update(zero_pad.data(), zero_pad.size());
  sha.Update(message.data(), message.size());
  sha.Update(length_be, sizeof length_be);
  sha.Update(dst.data(), dst.size());
  sha.Update(&dst_size, 1);
  const Digest b0 = sha.Finish();

  std::vector<uint8_t> out;
  out.reserve(blocks * kDigestBytes);
  Digest previous{};  // all zero, so block 1 hashes b_0 itself
  for (size_t i = 1; i <= blocks; ++i) {
    Digest mixed;
    for (size_t j = 0; j < kDigestBytes; ++j) mixed[j] = b0[j] ^ previous[j];
    const uint8_t index = static_cast<uint8_t>(i);
    sha.Begin();
    sha.Update(mixed.data(), mixed.size());
    sha.Update(&index, 1);
    sha.Update(dst.data(), dst.size());
    sha.Update(&dst_size, 1);
    previous = sha.Finish();
    out.insert(out.end(), previous.begin(), previous.end());
  }
  out.resize(length);
  return out;
}

}  // namespace bls
