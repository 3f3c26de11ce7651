// Model decryption by encipherment type, and the plain temporary files it writes.

#include <gtest/gtest.h>

#include <dirent.h>

#include <cstdlib>
#include <fstream>
#include <iterator>
#include <vector>

#include "norvane/error_codes.h"
#include "norvane/model_security.h"
#include "norvane/security/keys.h"
#include "security_fixture.h"
#include "support/log_capture.h"

namespace {

using norvane::ModelSecurity;
namespace utils = norvane::utils;

// Enciphers plain the way the packaging tool does.
std::string seal_model(const std::string& plain, long type) {
  std::vector<unsigned char> out(plain.size() + ZDV_OVERHEAD);
  std::string key = norvane::keys::model_key(type);
  long n = xor_encrypt_content(reinterpret_cast<const unsigned char*>(plain.data()), static_cast<long>(plain.size()),
                               key.c_str(), out.data());
  EXPECT_GT(n, 0);
  return std::string(out.begin(), out.begin() + n);
}

std::vector<std::string> files_in(const std::string& folder) {
  std::vector<std::string> names;
  if (DIR* d = opendir(folder.c_str())) {
    while (dirent* e = readdir(d))
      if (e->d_name[0] != '.') names.push_back(e->d_name);
    closedir(d);
  }
  return names;
}

class ModelSecurityTest : public norvane_test::LocalFolderTest {
 protected:
  std::string write(const std::string& name, const std::string& data) {
    std::string path = home_.path() + "/" + name;
    EXPECT_EQ(utils::write_file_binary(path, data), 0);
    return path;
  }
  const std::string plain_ = std::string("model\0bytes\xff", 12) + std::string(5000, 'w');
};

TEST_F(ModelSecurityTest, EveryTypeYieldsThePlainModel) {
  for (long type : {0L, 1L, 2L}) {
    std::string path = write("model" + std::to_string(type), type == 0 ? plain_ : seal_model(plain_, type));
    ModelSecurity security(7, type, path, home_.path() + "/params");
    std::string out;
    EXPECT_EQ(security.decrypt_model_to_str(out), norvane::NV_OK) << type;
    EXPECT_EQ(out, plain_) << type;
  }
}

TEST_F(ModelSecurityTest, EachTypeHasItsOwnKey) {
  std::string path = write("model", seal_model(plain_, 1));
  ModelSecurity security(7, 2, path, "");
  norvane_test::LogCapture cap;
  std::string out = "untouched";
  EXPECT_EQ(security.decrypt_model_to_str(out), norvane::NV_ERR_DECRYPT);
  EXPECT_EQ(out, "untouched");
  EXPECT_EQ(cap.count(el::Level::Error, "Fail to decrypt  file: -"), 1);
}

TEST_F(ModelSecurityTest, CorruptedOrMissingFileFailsWithOutputUnchanged) {
  std::string sealed = seal_model(plain_, 1);
  std::string altered = sealed;
  altered[sealed.size() / 2] ^= 0x40;
  std::vector<std::string> paths = {write("altered", altered), write("cut", sealed.substr(0, sealed.size() - 1)),
                                    write("plain", plain_), home_.path() + "/missing"};
  norvane_test::LogCapture cap;
  for (auto& path : paths) {
    ModelSecurity security(7, 1, path, "");
    std::string out = "untouched";
    EXPECT_EQ(security.decrypt_file_to_str(path, out), norvane::NV_ERR_DECRYPT) << path;
    EXPECT_EQ(out, "untouched") << path;
  }
  EXPECT_EQ(cap.count(el::Level::Error, "Fail to decrypt  file: "), 4);
}

TEST_F(ModelSecurityTest, UnsupportedTypesAreRefused) {
  std::string path = write("model", plain_);
  norvane_test::LogCapture cap;
  for (long type : {3L, -1L}) {
    ModelSecurity security(7, type, path, "");
    std::string out = "untouched";
    EXPECT_EQ(security.decrypt_model_to_str(out), norvane::NV_ERR_DECRYPT);
    EXPECT_EQ(out, "untouched");
  }
  EXPECT_EQ(cap.count(el::Level::Error, "Unsupported modelEncType 3"), 1);
  EXPECT_EQ(cap.count(el::Level::Error, "Unsupported modelEncType -1"), 1);
}

TEST_F(ModelSecurityTest, TemporaryFilesLiveUntilTheObjectDies) {
  std::string path = write("model", seal_model(plain_, 2));
  std::string first, second;
  {
    ModelSecurity security(42, 2, path, "");
    ASSERT_EQ(security.decrypt_model_to_file(first), norvane::NV_OK);
    ASSERT_EQ(security.decrypt_model_to_file(second), norvane::NV_OK);
    EXPECT_NE(first, second);
    for (const auto& p : {first, second}) {
      EXPECT_EQ(p.rfind(model_cache() + "/m.42.", 0), 0u) << p;
      EXPECT_EQ(utils::read_file_binary(p), plain_);
    }
  }
  EXPECT_FALSE(utils::file_exists(first));
  EXPECT_FALSE(utils::file_exists(second));
}

TEST_F(ModelSecurityTest, FailedDecryptionWritesNoTemporaryFile) {
  std::string path = write("model", "not a sealed model");
  ModelSecurity security(42, 1, path, "");
  std::string out_path = "untouched";
  EXPECT_EQ(security.decrypt_model_to_file(out_path), norvane::NV_ERR_DECRYPT);
  EXPECT_EQ(out_path, "untouched");
  EXPECT_TRUE(files_in(model_cache()).empty());
}

// The packaging tool and the library must agree on format and keys: a model the
// tool enciphers opens under its type and under no other.
TEST_F(ModelSecurityTest, PackagingToolOutputOpensUnderItsType) {
  const std::string tool = std::string(NORVANE_BINARY_DIR) + "/tools/encipher/norvane_encipher_model";
  if (!utils::file_exists(tool)) GTEST_SKIP() << "packaging tool not built";
  std::string in = write("plain", plain_);
  for (long type : {1L, 2L}) {
    std::string out = home_.path() + "/sealed" + std::to_string(type);
    ASSERT_EQ(std::system((tool + " " + std::to_string(type) + " " + in + " " + out).c_str()), 0);
    std::string plain;
    EXPECT_EQ(ModelSecurity(1, type, out, "").decrypt_model_to_str(plain), norvane::NV_OK);
    EXPECT_EQ(plain, plain_);
    norvane_test::LogCapture cap;
    EXPECT_EQ(ModelSecurity(1, 3 - type, out, "").decrypt_model_to_str(plain), norvane::NV_ERR_DECRYPT);
    EXPECT_EQ(cap.count(el::Level::Error, "Fail to decrypt  file: "), 1);
  }
  EXPECT_NE(std::system((tool + " 3 " + in + " " + home_.path() + "/x 2>/dev/null").c_str()), 0);
}

TEST(Keys, FourDistinctKeysNoneReadableInTheBinary) {
  std::vector<std::string> keys = {norvane::keys::model_key(1), norvane::keys::model_key(2),
                                   norvane::keys::resource_key(), norvane::keys::upload_key()};
  EXPECT_TRUE(norvane::keys::model_key(0).empty());
  EXPECT_TRUE(norvane::keys::model_key(3).empty());

  // This program holds the key code (linked from the static library): no key may
  // stand in it as a plain 16-byte string.
  std::ifstream self("/proc/self/exe", std::ios::binary);
  std::string image((std::istreambuf_iterator<char>(self)), std::istreambuf_iterator<char>());
  ASSERT_GT(image.size(), 0u);
  for (size_t i = 0; i < keys.size(); ++i) {
    EXPECT_EQ(keys[i].size(), 16u);
    EXPECT_EQ(image.find(keys[i]), std::string::npos) << "key " << i;
    for (size_t j = i + 1; j < keys.size(); ++j) EXPECT_NE(keys[i], keys[j]) << i << " " << j;
  }
}

}  // namespace
