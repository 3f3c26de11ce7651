// Resource store: round trips, refusal of altered files, temporary plain copies,
// and that a save interrupted at any moment never loses the stored resource.

#include <gtest/gtest.h>

#include <dirent.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <random>
#include <set>

#include "norvane/error_codes.h"
#include "norvane/resource_manager.h"
#include "security_fixture.h"
#include "support/log_capture.h"

namespace {

using norvane::ResourceManager;
namespace utils = norvane::utils;

std::string random_text(size_t n, unsigned seed) {
  std::mt19937 gen(seed);
  std::string s(n, '\0');
  for (auto& c : s) c = static_cast<char>(gen());
  return s;
}

class ResourceManagerTest : public norvane_test::LocalFolderTest {
 protected:
  std::string stored(long id, const std::string& name) const {
    return model_cache() + "/" + std::to_string(id) + "/" + name;
  }
};

TEST_F(ResourceManagerTest, RoundTripsEmptyBinaryAndLargeData) {
  ResourceManager store(1);
  std::string binary("a\0b\0\0c", 6);
  for (const std::string& data : {std::string(), binary, random_text(3 << 20, 1)}) {
    ASSERT_EQ(store.save_to_file("res", data, 0), norvane::NV_OK) << data.size();
    std::string out = "stale";
    ASSERT_EQ(store.restore_to_str("res", out), norvane::NV_OK) << data.size();
    EXPECT_EQ(out, data) << data.size();
  }
}

TEST_F(ResourceManagerTest, StoredFileHoldsNoPlainBytesAndLatestSaveWins) {
  ResourceManager store(1);
  const std::string secret = "the plain text of an application resource";
  ASSERT_EQ(store.save_to_file("res", secret, 3), norvane::NV_OK);
  ASSERT_EQ(store.save_to_file("res", secret + " v2", 3), norvane::NV_OK);
  EXPECT_EQ(utils::read_file_binary(stored(1, "res")).find("plain text"), std::string::npos);
  std::string out;
  ASSERT_EQ(store.restore_to_str("res", out), norvane::NV_OK);
  EXPECT_EQ(out, secret + " v2");
}

TEST_F(ResourceManagerTest, NeverSavedNameFailsSilently) {
  ResourceManager store(1);
  norvane_test::LogCapture cap;
  std::string out = "untouched", path = "untouched";
  EXPECT_EQ(store.restore_to_str("nothing", out), norvane::NV_STORE_ERR_CIPHER);
  EXPECT_EQ(store.restore_to_temp_file("nothing", path), norvane::NV_STORE_ERR_CIPHER);
  EXPECT_EQ(out, "untouched");
  EXPECT_EQ(path, "untouched");
  EXPECT_TRUE(cap.records().empty());
}

// Regression: a name that is a directory (the empty name is the store's own
// folder) threw out of the reader and ended the process, leaving earlier
// temporary plain copies on disk.
TEST_F(ResourceManagerTest, DirectoryNameRestoresAsMissing) {
  ResourceManager store(1);
  ASSERT_EQ(store.save_to_file("res", "secret", 0), norvane::NV_OK);
  std::string temp;
  ASSERT_EQ(store.restore_to_temp_file("res", temp), norvane::NV_OK);
  ASSERT_EQ(::mkdir(stored(1, "sub").c_str(), 0700), 0);
  for (const char* name : {"", "sub"}) {
    std::string out = "untouched";
    EXPECT_NO_THROW(EXPECT_EQ(store.restore_to_str(name, out), norvane::NV_STORE_ERR_CIPHER)) << name;
    EXPECT_EQ(out, "untouched");
  }
}

TEST_F(ResourceManagerTest, NameIntoMissingSubfolderIsAWriteFailure) {
  ResourceManager store(1);
  norvane_test::LogCapture cap;
  EXPECT_EQ(store.save_to_file("sub/res", "data", 0), norvane::NV_STORE_ERR_WRITE);
  EXPECT_EQ(cap.count(el::Level::Error, "Failed to write to file " + stored(1, "sub/res")), 1);
  EXPECT_FALSE(utils::folder_exists(stored(1, "sub")));
}

TEST_F(ResourceManagerTest, AlteredOrCutStoredFileIsRefused) {
  ResourceManager store(1);
  const std::string data = random_text(1000, 2);
  ASSERT_EQ(store.save_to_file("res", data, 0), norvane::NV_OK);
  const std::string sealed = utils::read_file_binary(stored(1, "res"));
  std::string flipped = sealed;
  flipped[100] ^= 0x01;

  norvane_test::LogCapture cap;
  for (const std::string& bad : {flipped, sealed.substr(0, sealed.size() - 1), sealed.substr(0, 20)}) {
    ASSERT_EQ(utils::write_file_binary(stored(1, "res"), bad), 0);
    std::string out = "untouched";
    EXPECT_EQ(store.restore_to_str("res", out), norvane::NV_STORE_ERR_CIPHER);
    EXPECT_EQ(out, "untouched");  // neither garbage nor a resized buffer
  }
  EXPECT_EQ(cap.count(el::Level::Error, "Failed to decrypt resource "), 3);
}

TEST_F(ResourceManagerTest, StoresWithDifferentIdsAreApart) {
  ResourceManager one(1), two(2);
  ASSERT_EQ(one.save_to_file("res", "first", 0), norvane::NV_OK);
  std::string out;
  EXPECT_EQ(two.restore_to_str("res", out), norvane::NV_STORE_ERR_CIPHER);
  ASSERT_EQ(two.save_to_file("res", "second", 0), norvane::NV_OK);
  ASSERT_EQ(one.restore_to_str("res", out), norvane::NV_OK);
  EXPECT_EQ(out, "first");
  ASSERT_EQ(two.restore_to_str("res", out), norvane::NV_OK);
  EXPECT_EQ(out, "second");
}

TEST_F(ResourceManagerTest, TemporaryPlainFileRemovedWithTheStore) {
  const std::string data("plain\0copy", 10);
  std::string path;
  {
    ResourceManager store(5);
    ASSERT_EQ(store.save_to_file("res", data, 0), norvane::NV_OK);
    ASSERT_EQ(store.restore_to_temp_file("res", path), norvane::NV_OK);
    EXPECT_EQ(path, stored(5, "res._temp"));
    EXPECT_EQ(utils::read_file_binary(path), data);
  }
  EXPECT_FALSE(utils::file_exists(path));
  EXPECT_TRUE(utils::file_exists(stored(5, "res")));  // the enciphered one stays
}

TEST_F(ResourceManagerTest, UnwritableTemporaryFileIsReported) {
  ResourceManager store(5);
  ASSERT_EQ(store.save_to_file("res", "data", 0), norvane::NV_OK);
  ASSERT_EQ(utils::mkdir(stored(5, "res._temp")), 0);  // a folder where the file should go
  norvane_test::LogCapture cap;
  std::string path = "untouched";
  EXPECT_EQ(store.restore_to_temp_file("res", path), norvane::NV_STORE_ERR_TEMP_WRITE);
  EXPECT_EQ(path, "untouched");
  EXPECT_EQ(cap.count(el::Level::Error, "Failed to write to file, ret -1"), 1);
}

// A child saves one of a few values over and over; the parent kills it at random
// moments. Rewriting the stored file in place left it cut short after such a kill,
// and the resource was lost; now it must always restore to one of the values.
TEST_F(ResourceManagerTest, SaveKilledAtAnyMomentLeavesAWholeResource) {
  const std::vector<std::string> values = {random_text(300000, 3), random_text(150000, 4), random_text(50000, 5)};
  const std::set<std::string> allowed(values.begin(), values.end());
  {
    ResourceManager store(9);
    ASSERT_EQ(store.save_to_file("res", values[0], 0), norvane::NV_OK);
  }
  std::mt19937 gen(6);
  std::uniform_int_distribution<int> delay_us(0, 20000);
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(12);
  int kills = 0;
  for (; kills < 300 && std::chrono::steady_clock::now() < deadline; ++kills) {
    pid_t child = fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
      ResourceManager store(9);
      for (size_t i = 1;; ++i) store.save_to_file("res", values[i % values.size()], 0);
    }
    usleep(static_cast<useconds_t>(delay_us(gen)));
    kill(child, SIGKILL);
    int status = 0;
    waitpid(child, &status, 0);

    ResourceManager store(9);
    std::string out;
    ASSERT_EQ(store.restore_to_str("res", out), norvane::NV_OK) << "after kill " << kills;
    ASSERT_TRUE(allowed.count(out)) << "after kill " << kills;
  }
  EXPECT_GE(kills, 50);

  // Each killed save may have left its temporary behind; the next save into the
  // folder removes those of processes that are gone (they piled up before).
  auto temporaries = [&]() {
    int n = 0;
    DIR* dir = opendir((model_cache() + "/9").c_str());
    while (struct dirent* e = readdir(dir)) n += std::string(e->d_name).find(".tmp.") != std::string::npos;
    closedir(dir);
    return n;
  };
  ResourceManager store(9);
  ASSERT_EQ(store.save_to_file("other", values[2], 0), norvane::NV_OK);
  EXPECT_EQ(temporaries(), 0);
  // A live writer's temporary stays: this process's, and one of a running process.
  const std::string own = stored(9, "res.tmp." + std::to_string(getpid()) + ".999");
  const std::string parent = stored(9, "res.tmp." + std::to_string(getppid()) + ".1");
  ASSERT_EQ(utils::write_file_binary(own, "x"), 0);
  ASSERT_EQ(utils::write_file_binary(parent, "x"), 0);
  ASSERT_EQ(store.save_to_file("res", values[2], 0), norvane::NV_OK);
  EXPECT_TRUE(utils::file_exists(own));
  EXPECT_TRUE(utils::file_exists(parent));
  utils::rmfile(own);
  utils::rmfile(parent);
}

}  // namespace
