#include "chia/bls/expand_message.h"

#include <array>
#include <iterator>
#include <stdexcept>

#include "chia/thread_digest_context.h"

namespace bls {
namespace {

constexpr size_t kDigestBytes = 32;
constexpr size_t kBlockBytes = 64;

using Digest = std::array<uint8_t, kDigestBytes>;

}  // namespace

std::vector<uint8_t> ExpandMessageXmd(std::span<const uint8_t> message,
                                      std::span<const uint8_t> dst, size_t length) {
  if (dst.size() > 255) throw std::runtime_error("expand_message_xmd: tag longer than 255 bytes");
  const size_t blocks = (length + kDigestBytes - 1) / kDigestBytes;
  if (length == 0 || blocks > 255 || length > 65535)
    throw std::runtime_error("expand_message_xmd: unsupported output length");

  const uint8_t dstSize = static_cast<uint8_t>(dst.size());
  const std::array<uint8_t, kBlockBytes> zeroPad{};
  const uint8_t lengthBe[3] = {static_cast<uint8_t>(length >> 8), static_cast<uint8_t>(length), 0};

  thread_local ThreadDigestContext context;
  const DigestPiece b0Pieces[] = {{zeroPad.data(), zeroPad.size()},
                                   {message.data(), message.size()},
                                   {lengthBe, sizeof lengthBe},
                                   {dst.data(), dst.size()},
                                   {&dstSize, 1}};
  Digest b0;
  Sha256Pieces(context.Get(), b0Pieces, std::size(b0Pieces), b0.data());

  std::vector<uint8_t> out;
  out.reserve(blocks * kDigestBytes);
  Digest previous{};  // all zero, so block 1 hashes b_0 itself
  for (size_t i = 1; i <= blocks; ++i) {
    Digest mixed;
    for (size_t j = 0; j < kDigestBytes; ++j) mixed[j] = b0[j] ^ previous[j];
    const uint8_t index = static_cast<uint8_t>(i);
    const DigestPiece pieces[] = {
        {mixed.data(), mixed.size()}, {&index, 1}, {dst.data(), dst.size()}, {&dstSize, 1}};
    Sha256Pieces(context.Get(), pieces, std::size(pieces), previous.data());
    out.insert(out.end(), previous.begin(), previous.end());
  }
  out.resize(length);
  return out;
}

}  // namespace bls
