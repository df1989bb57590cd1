// With full logging on (the marker file "rklog.a"), form-fill traffic is
// traced without its bodies: no card value, password, identity or
// decrypted value reaches the log file or standard output.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <cctype>
#include <cstdio>
#include <fstream>
#include <iostream>
#include <sstream>
#include <string>

#include "rk_logger.h"
#include "rk_tessel_fill_test_support.h"
#include "rk_utils.h"

namespace rktest {
namespace {

class TesselFillFullLogging : public TesselFillTest {
 protected:
  bool FullLogging() const override { return true; }
};

std::string ReadFile(const fs::path& path) {
  std::ifstream in(path, std::ios::binary);
  std::stringstream text;
  text << in.rdbuf();
  return text.str();
}

// Standard output goes to a file while it lives.
class StdoutToFile {
 public:
  explicit StdoutToFile(const fs::path& path) {
    std::cout.flush();
    std::fflush(stdout);
    saved_ = dup(STDOUT_FILENO);
    const int file = open(path.c_str(), O_CREAT | O_TRUNC | O_WRONLY, 0600);
    dup2(file, STDOUT_FILENO);
    close(file);
  }
  ~StdoutToFile() {
    std::cout.flush();
    std::fflush(stdout);
    dup2(saved_, STDOUT_FILENO);
    close(saved_);
  }

 private:
  int saved_ = -1;
};

TEST_F(TesselFillFullLogging, SecretsStayOutOfTheLogAndStandardOutput) {
  const std::string card = R"({"user":"ann","pw":"Tr0ub4dor-and-3"})";
  const std::string password = "correct-horse-battery";
  const std::string identity = "identity-4711";
  const std::string plain = "plain-text-4242";
  std::string cipher_text;
  const fs::path out_file = root_ / "stdout.txt";
  {
    StdoutToFile capture(out_file);
    ASSERT_EQ(AddCard("account", "site", card).status, 200);
    ASSERT_EQ(Call("GET", "/tesselfill/card/all?type=account").body, "[" + card + "]");
    ASSERT_EQ(Call("POST", "/tesselfill/common/auth_info", nlohmann::json({{"key", identity}}).dump()).status, 200);
    ASSERT_EQ(Call("GET", "/tesselfill/common/auth_info").body, identity);
    const HttpReply exported = Export("account");
    ASSERT_EQ(exported.status, 200);
    ASSERT_EQ(Import("secret", exported.body).status, 200);
    const auto pwd = [&](const std::string& type, const std::string& content) {
      return Call("PUT", "/tesselfill/pwd_operation",
                  nlohmann::json({{"type", type}, {"user_pwd", password}, {"content", content}}).dump());
    };
    const HttpReply encrypted = pwd("encrypt", nlohmann::json::array({{{"p", plain}}}).dump());
    ASSERT_EQ(encrypted.status, 200);
    cipher_text = nlohmann::json::parse(encrypted.body)[0]["p"].get<std::string>();
    ASSERT_EQ(pwd("decrypt", encrypted.body).body, nlohmann::json::array({{{"p", plain}}}).dump());
    ASSERT_EQ(pwd("decrypt", "{}").status, 400);
    ASSERT_EQ(Call("DELETE", "/tesselfill/card", R"({"type":"account","key":"site"})").status, 200);
  }
  rkservice::RkLogger::Instance()->logger()->flush();
  const std::string log = ReadFile(root_ / "Log Files" / "rkservice.log");
  const std::string out = ReadFile(out_file);

  // The exchanges are traced, without their bodies.
  EXPECT_NE(log.find("PUT /tesselfill/pwd_operation ==> response:"), std::string::npos);
  EXPECT_NE(log.find("POST /tesselfill/card/add_or_update HTTP/1.1"), std::string::npos);
  EXPECT_NE(log.find("(body not logged)"), std::string::npos);
  const std::string secrets[] = {
      "Tr0ub4dor-and-3",
      rkservice::Base64Encode(reinterpret_cast<const uint8_t*>(card.data()), static_cast<uint32_t>(card.size())),
      password,
      identity,
      plain,
      cipher_text,
  };
  for (const std::string& secret : secrets) {
    EXPECT_EQ(log.find(secret), std::string::npos) << secret;
    EXPECT_EQ(out.find(secret), std::string::npos) << secret;
  }

  // GET and PUT requests write their thread's id: six of them here.
  std::istringstream lines(out);
  std::string line;
  int ids = 0;
  while (std::getline(lines, line)) {
    ids += !line.empty() && line.find_first_not_of("0123456789") == std::string::npos ? 1 : 0;
  }
  EXPECT_EQ(ids, 6);
}

}  // namespace
}  // namespace rktest
