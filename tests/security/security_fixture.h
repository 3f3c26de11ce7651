#pragma once

// Points the SDK local folder at a scratch home for one test, so model cache and
// resource store files land there and vanish afterwards.

#include <gtest/gtest.h>

#include <string>

#include "norvane/globals.h"
#include "norvane/utils.h"
#include "support/temp_dir.h"
#include "zideredov/zideredov.h"

namespace norvane_test {

class LocalFolderTest : public ::testing::Test {
 protected:
  void SetUp() override {
    zideredov::set_local_folder_relative(norvane::g_SDK_LOCAL_FOLDER);
    norvane::Utils::set_sdk_local_folder_home(home_.path());
  }
  void TearDown() override { norvane::Utils::set_sdk_local_folder_home(""); }

  std::string model_cache() const { return home_.path() + "/" + norvane::g_SDK_LOCAL_FOLDER + "/mcache"; }

  HomeGuard home_;
};

}  // namespace norvane_test
