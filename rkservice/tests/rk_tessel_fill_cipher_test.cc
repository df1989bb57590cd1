// The encryption of form-fill values through PUT /tesselfill/pwd_operation,
// pinned by golden vectors that the openssl command line computes here.
#include <gtest/gtest.h>
#include <sys/wait.h>

#include <cstdio>
#include <fstream>
#include <sstream>
#include <string>

#include "rk_tessel_fill_test_support.h"

namespace rktest {
namespace {

// Standard output of a shell command; its exit code in *code.
std::string Shell(const std::string& command, int* code) {
  std::string out;
  FILE* pipe = popen(command.c_str(), "r");
  if (pipe == nullptr) {
    *code = -1;
    return out;
  }
  char buffer[4096];
  size_t n;
  while ((n = fread(buffer, 1, sizeof(buffer), pipe)) > 0) out.append(buffer, n);
  const int status = pclose(pipe);
  *code = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  return out;
}

// The key as the service must make it: the low bytes of the password's first
// 32 UTF-16 units, zero-filled; in hexadecimal for the command line.
std::string KeyHex(const std::u16string& units) {
  std::string hex;
  char byte[3];
  for (size_t i = 0; i < 32; ++i) {
    std::snprintf(byte, sizeof(byte), "%02x", i < units.size() ? units[i] & 0xFF : 0);
    hex += byte;
  }
  return hex;
}

class TesselFillCipher : public TesselFillTest {
 protected:
  std::string File(const std::string& name, const std::string& bytes) {
    const std::string path = (root_ / name).string();
    std::ofstream(path, std::ios::binary) << bytes;
    return path;
  }

  // AES-256-ECB with PKCS#7 padding by the openssl command line.
  std::string Golden(const std::u16string& password, const std::string& value) {
    int code = 0;
    const std::string text = Shell("openssl enc -aes-256-ecb -K " + KeyHex(password) + " -base64 -A -in " +
                                       File("plain.bin", value),
                                   &code);
    EXPECT_EQ(code, 0);
    return text;
  }

  // The raw ciphertext bytes of the command line.
  std::string GoldenBytes(const std::u16string& password, const std::string& value) {
    int code = 0;
    const std::string bytes =
        Shell("openssl enc -aes-256-ecb -K " + KeyHex(password) + " -in " + File("plain.bin", value), &code);
    EXPECT_EQ(code, 0);
    return bytes;
  }

  std::string Base64(const std::string& bytes) {
    int code = 0;
    return Shell("openssl base64 -A -in " + File("bytes.bin", bytes), &code);
  }

  // Whether the command line itself refuses to decrypt the bytes.
  bool OpensslRefuses(const std::u16string& password, const std::string& bytes) {
    int code = 0;
    Shell("openssl enc -d -aes-256-ecb -K " + KeyHex(password) + " -in " + File("cipher.bin", bytes) +
              " 2>/dev/null",
          &code);
    return code != 0;
  }

  // The transformed content array of one request, as JSON.
  nlohmann::json Transform(const std::string& type, const std::string& password, const nlohmann::json& content,
                           std::string* raw = nullptr) {
    const nlohmann::json body = {{"type", type}, {"user_pwd", password}, {"content", content.dump()}};
    const HttpReply reply = Call("PUT", "/tesselfill/pwd_operation", body.dump());
    EXPECT_EQ(reply.status, 200) << reply.body;
    if (raw != nullptr) *raw = reply.body;
    return nlohmann::json::parse(reply.body, nullptr, false);
  }

  std::string Decrypted(const std::string& password, const std::string& text) {
    return Transform("decrypt", password, nlohmann::json::array({{{"v", text}}}))[0]["v"].get<std::string>();
  }
};

TEST_F(TesselFillCipher, GoldenVectorsBothWays) {
  const struct {
    const char* what;
    std::string password;
    std::u16string units;  // the same password, as UTF-16 units
    std::string value;
    size_t text_length;
  } vectors[] = {
      {"ASCII", "secret-pass", u"secret-pass", "hello world", 24},
      {"empty value and password", "", u"", "", 24},
      {"non-ASCII value, password beyond the basic plane", u8"pä😀ß中", u"pä😀ß中", u8"Grüße 😀 東京", 44},
      {"password over 32 units, 16-byte value", "0123456789abcdefghijklmnopqrstuvwxyzXYZ",
       u"0123456789abcdefghijklmnopqrstuvwxyzXYZ", "sixteen bytes!!!", 44},
      {"15-byte value", "p", u"p", "fifteen bytes!!", 24},
  };
  for (const auto& v : vectors) {
    const std::string golden = Golden(v.units, v.value);
    EXPECT_EQ(golden.size(), v.text_length) << v.what;
    EXPECT_EQ(Transform("encrypt", v.password, nlohmann::json::array({{{"v", v.value}}})),
              nlohmann::json::array({{{"v", golden}}}))
        << v.what;
    EXPECT_EQ(Decrypted(v.password, golden), v.value) << v.what;
  }
}

TEST_F(TesselFillCipher, RefusedTextsDecryptToNothing) {
  const std::u16string units = u"right";
  const std::string value = "0123456789012345678901234567890123456789";  // three blocks with padding
  const std::string bytes = GoldenBytes(units, value);
  ASSERT_EQ(bytes.size(), 48u);
  std::string damaged = bytes;
  damaged.back() ^= 0x5A;
  const struct {
    const char* what;
    std::string password;
    std::string cipher_bytes;
  } cases[] = {
      {"wrong password", "wrong", bytes},
      {"last block cut off", "right", bytes.substr(0, 32)},
      {"last byte damaged", "right", damaged},
      {"not whole blocks", "right", bytes.substr(0, 17)},
  };
  EXPECT_EQ(Decrypted("right", Base64(bytes)), value);
  for (const auto& c : cases) {
    const std::u16string password(c.password.begin(), c.password.end());
    ASSERT_TRUE(OpensslRefuses(password, c.cipher_bytes)) << c.what;
    EXPECT_EQ(Decrypted(c.password, Base64(c.cipher_bytes)), "") << c.what;
  }
  EXPECT_EQ(Decrypted("right", "not base64!"), "");
  EXPECT_EQ(Decrypted("right", ""), "");
}

TEST_F(TesselFillCipher, ThousandItemsKeepTheirOrderAndComeBack) {
  nlohmann::json content = nlohmann::json::array();
  for (int i = 0; i < 1000; ++i) {
    content.push_back({{"z", u8"wert ü " + std::to_string(i)}, {"a", std::to_string(i)}});
  }
  std::string raw;
  const nlohmann::json encrypted = Transform("encrypt", "pw", content, &raw);
  ASSERT_EQ(encrypted.size(), 1000u);
  EXPECT_EQ(raw.compare(0, 7, R"([{"a":")"), 0);  // members in name order
  EXPECT_EQ(encrypted[999]["a"], Golden(u"pw", "999"));
  EXPECT_EQ(Transform("decrypt", "pw", encrypted), content);
}

}  // namespace
}  // namespace rktest
