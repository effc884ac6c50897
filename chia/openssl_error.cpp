#include "chia/openssl_error.h"

#include <openssl/err.h>

#include <stdexcept>

void ThrowOpenSslError() {
  char text[120] = {};
  ERR_error_string_n(ERR_get_error(), text, sizeof text);
  throw std::runtime_error(text);
}
