// The encryption of form-fill values: AES-256-ECB with PKCS#7 padding over the
// value's UTF-8 bytes, the key made of the low bytes of the password's first
// 32 UTF-16 units (zero-filled), padded standard Base64 outside. The scheme is
// weak (no IV, no salt, no integrity) and kept exactly so: values stored and
// synced by the browser depend on it.
#ifndef RKSERVICE_SRC_HANDLERS_RK_TESSEL_FILL_CIPHER_H_
#define RKSERVICE_SRC_HANDLERS_RK_TESSEL_FILL_CIPHER_H_

#include <string>

namespace rkservice {

class RkTesselFillCipher {
 public:
  // Texts are UTF-8; ill-formed sequences count as U+FFFD.
  static std::string Encrypt(const std::string& password, const std::string& value);
  // "" when the text is not padded Base64 or the cipher refuses it (a wrong
  // password or a truncated or damaged text, as a rule): never part of a value.
  static std::string Decrypt(const std::string& password, const std::string& text);
};

}  // namespace rkservice

#endif  // RKSERVICE_SRC_HANDLERS_RK_TESSEL_FILL_CIPHER_H_
