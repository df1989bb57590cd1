#include "handlers/rk_tessel_fill_cipher.h"

#include <openssl/crypto.h>
#include <openssl/evp.h>

#include <array>
#include <climits>
#include <memory>

#include "rk_logger.h"
#include "rk_utils.h"

namespace rkservice {
namespace {

constexpr size_t kKeyBytes = 32;
constexpr int kBlockBytes = 16;

using Key = std::array<unsigned char, kKeyBytes>;

// Byte i is the low byte of UTF-16 unit i; units past the 32nd are ignored.
Key MakeKey(const std::string& password) {
  Key key{};
  const std::u16string units = Utf8ToWide(password);
  for (size_t i = 0; i < key.size() && i < units.size(); ++i) key[i] = static_cast<unsigned char>(units[i] & 0xFF);
  return key;
}

// One cipher run over all of `input`; false when any step refuses, so that a
// failed final block never leaves the blocks before it as a result.
bool RunCipher(bool encrypt, const std::string& password, const std::string& input, std::string* output) {
  if (input.size() > static_cast<size_t>(INT_MAX - kBlockBytes)) return false;
  Key key = MakeKey(password);
  std::unique_ptr<EVP_CIPHER_CTX, decltype(&EVP_CIPHER_CTX_free)> context(EVP_CIPHER_CTX_new(), &EVP_CIPHER_CTX_free);
  std::string out(input.size() + kBlockBytes, '\0');
  auto* out_bytes = reinterpret_cast<unsigned char*>(&out[0]);
  int written = 0;
  int final_written = 0;
  const bool done =
      context != nullptr &&
      EVP_CipherInit_ex(context.get(), EVP_aes_256_ecb(), nullptr, key.data(), nullptr, encrypt ? 1 : 0) == 1 &&
      EVP_CipherUpdate(context.get(), out_bytes, &written, reinterpret_cast<const unsigned char*>(input.data()),
                       static_cast<int>(input.size())) == 1 &&
      EVP_CipherFinal_ex(context.get(), out_bytes + written, &final_written) == 1;
  OPENSSL_cleanse(key.data(), key.size());
  if (!done) {
    OPENSSL_cleanse(out_bytes, out.size());
    return false;
  }
  out.resize(static_cast<size_t>(written) + static_cast<size_t>(final_written));
  *output = std::move(out);
  return true;
}

}  // namespace

std::string RkTesselFillCipher::Encrypt(const std::string& password, const std::string& value) {
  std::string cipher_bytes;
  if (!RunCipher(true, password, WideToUtf8(Utf8ToWide(value)), &cipher_bytes)) {
    RkLogError("form-fill value encryption failed");
    return {};
  }
  return Base64EncodeString(cipher_bytes);
}

std::string RkTesselFillCipher::Decrypt(const std::string& password, const std::string& text) {
  std::string plain;
  if (!RunCipher(false, password, Base64DecodeString(text), &plain)) return {};
  return WideToUtf8(Utf8ToWide(plain));
}

}  // namespace rkservice
