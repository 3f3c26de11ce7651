// The first inference creates the process-wide controller, which applies the
// library's log settings (DEBUG off). Creating it before any test keeps that
// from happening in the middle of a test that captures DEBUG records.

#include <gtest/gtest.h>

#include "norvane/edge_controller.h"

namespace {

class ControllerFirst : public ::testing::Environment {
 public:
  void SetUp() override { norvane::global_controller(); }
};

const ::testing::Environment* const g_controller_first = ::testing::AddGlobalTestEnvironment(new ControllerFirst);

}  // namespace
