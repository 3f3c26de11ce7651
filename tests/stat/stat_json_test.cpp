#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "norvane/edge_predictor_impl.h"
#include "norvane/stat/stat.h"
#include "stat/stat_test_support.h"
#include "support/log_capture.h"

using norvane::Stat;
using norvane_test::Counts;
using norvane_test::counts_of;

TEST(StatJson, EmptyStatisticsSerialiseToTheFixedLayout) {
  Stat stat;
  EXPECT_EQ(stat.stat_data_to_json(),
            "{\n"
            "  \"data\": {\n"
            "    \"modelInvoke\": [],\n"
            "    \"sdkLaunch\": {}\n"
            "  }\n"
            "}\n");
}

TEST(StatJson, CountsSerialisePrettifiedWithKeysAscending) {
  Stat stat;
  stat.do_sdk_launch();
  stat.do_model_invoke(12, 34);
  stat.do_model_invoke(12, 34);
  const std::string d = norvane_test::today();
  EXPECT_EQ(stat.stat_data_to_json(),
            "{\n"
            "  \"data\": {\n"
            "    \"modelInvoke\": [\n"
            "      {\n"
            "        \"data\": {\n"
            "          \"" + d + "\": 2\n"
            "        },\n"
            "        \"modelId\": 12,\n"
            "        \"releaseId\": 34\n"
            "      }\n"
            "    ],\n"
            "    \"sdkLaunch\": {\n"
            "      \"" + d + "\": 1\n"
            "    }\n"
            "  }\n"
            "}\n");
}

namespace {

// A predictor whose model description names a model and release, as conf.json would.
class DescribedPredictor : public norvane::EdgePredictorImpl {
 public:
  DescribedPredictor(int64_t model_id, int64_t release_id) : EdgePredictorImpl(norvane::EdgePredictorConfig()) {
    _model_config.modelId = model_id;
    _model_config.releaseId = release_id;
  }
};

}  // namespace

TEST(StatJson, InferenceIsCountedUnderThePredictorsModelAndRelease) {
  Stat stat;
  DescribedPredictor a(501, 7), b(501, 8);
  stat.do_model_invoke(a);
  stat.do_model_invoke(a);
  stat.do_model_invoke(b);
  Counts c = norvane_test::counts_of(stat);
  EXPECT_EQ(c.models.size(), 2u);
  EXPECT_EQ(c.models.at({501, 7}).at(norvane_test::today()), 2);
  EXPECT_EQ(c.models.at({501, 8}).at(norvane_test::today()), 1);
}

TEST(StatJson, MridComposesAndSplitsWithTruncatingDivision) {
  struct Case {
    int64_t model, release, mrid, back_model, back_release;
  };
  const std::vector<Case> cases = {
      {12, 34, 12000034, 12, 34},
      {0, 0, 0, 0, 0},  // key 0 is left alone when split
      {0, 999999, 999999, 0, 999999},
      {1, 1000000, 2000000, 2, 0},   // release id too large: does not come back unchanged
      {3, -5, 2999995, 2, 999995},   // negative release id: neither
      {-3, -5, -3000005, -3, -5},    // remainder keeps the dividend's sign
      // Regression: ids from an edited file overflowed the composition (undefined behaviour).
      // (2^63 - 1) * 10^6 wraps to -10^6 modulo 2^64.
      {INT64_MAX, 0, -1000000, -1, 0},
  };
  for (const Case& c : cases) {
    int64_t mrid = 0, model = c.model, release = c.release;
    Stat::mrid_map(mrid, model, release);
    EXPECT_EQ(mrid, c.mrid) << c.model << "/" << c.release;
    int64_t back_model = 0, back_release = 0;
    Stat::mrid_map(mrid, back_model, back_release);
    EXPECT_EQ(back_model, c.back_model) << c.model << "/" << c.release;
    EXPECT_EQ(back_release, c.back_release) << c.model << "/" << c.release;
  }
}

namespace {

struct ParseCase {
  const char* name;
  std::string text;
  int result;
  bool illegal;  // "Illegal stat data, ignore." expected
  Counts expected;
};

std::string doc(const std::string& model_invoke, const std::string& sdk_launch) {
  std::string data = "{";
  if (!model_invoke.empty()) data += "\"modelInvoke\": " + model_invoke;
  if (!model_invoke.empty() && !sdk_launch.empty()) data += ", ";
  if (!sdk_launch.empty()) data += "\"sdkLaunch\": " + sdk_launch;
  return "{\"data\": " + data + "}}";
}

}  // namespace

TEST(StatJson, ReadingKeepsWhatPrecedesTheFirstMismatch) {
  const std::string m1 = R"({"data": {"2020-01-01": 4}, "modelId": 5, "releaseId": 6})";
  Counts m1_counts;
  m1_counts.models[{5, 6}]["2020-01-01"] = 4;
  Counts m1_and_launch = m1_counts;
  m1_and_launch.launches["2020-01-01"] = 2;

  Counts launch_a_only;
  launch_a_only.launches["2020-01-01"] = 1;
  Counts later_duplicate;
  later_duplicate.models[{5, 6}]["2020-03-03"] = 9;
  Counts odd_key;
  odd_key.launches["not a date"] = 3;

  const std::vector<ParseCase> cases = {
      {"empty text", "", -1, false, {}},
      {"broken JSON", "{\"data\": ", -1, false, {}},
      {"no data member", "{}", 0, true, {}},
      {"root not an object", "[]", 0, true, {}},
      {"sdkLaunch missing", doc("[" + m1 + "]", ""), 0, true, m1_counts},
      {"modelInvoke missing", doc("", R"({"2020-01-01": 2})"), 0, true, {}},
      {"complete", doc("[" + m1 + "]", R"({"2020-01-01": 2})"), 0, false, m1_and_launch},
      {"count as 2.0", doc("[]", R"({"2020-01-01": 2.0})"), 0, true, {}},
      {"count as text", doc("[]", R"({"2020-01-01": "2"})"), 0, true, {}},
      {"launch stops at bad value", doc("[]", R"({"2020-01-02": "x", "2020-01-01": 1, "2020-01-03": 3})"), 0,
       true, launch_a_only},
      {"later duplicate replaces whole",
       doc("[" + m1 + R"(, {"data": {"2020-03-03": 9}, "modelId": 5, "releaseId": 6}])", "{}"), 0, false,
       later_duplicate},
      {"bad element after a good one",
       doc("[" + m1 + R"(, {"data": {}, "modelId": "5", "releaseId": 6}])", R"({"2020-01-01": 2})"), 0, true,
       m1_counts},
      {"element with a bad count is dropped",
       doc(R"([{"data": {"2020-01-01": 1, "2020-01-02": 1.5}, "modelId": 1, "releaseId": 1}])", "{}"), 0, true,
       {}},
      {"element without releaseId", doc(R"([{"data": {}, "modelId": 1}])", "{}"), 0, true, {}},
      {"keys stored unchanged", doc("[]", R"({"not a date": 3})"), 0, false, odd_key},
      // Regression: picojson throws for a number that no double holds, and the
      // exception ended every start of the library (exit 134).
      {"number beyond double", R"({"data":{"modelInvoke":[],"sdkLaunch":{"2026-12-09":1e999}}})", 0, true, {}},
      {"bare number beyond double", "3E333", 0, true, {}},
      {"nothing kept before a number beyond double", doc("[" + m1 + "]", R"({"2020-01-01": -1e400})"), 0, true,
       {}},
  };

  for (const ParseCase& c : cases) {
    norvane_test::LogCapture cap;
    Stat::StrIntMap launch;
    Stat::ModelInvokeMap invoke;
    EXPECT_EQ(Stat::json_to_stat_data(c.text, launch, invoke), c.result) << c.name;
    EXPECT_EQ(counts_of(launch, invoke), c.expected) << c.name;
    EXPECT_EQ(cap.count(el::Level::Debug, "Illegal stat data, ignore."), c.illegal ? 1 : 0) << c.name;
    EXPECT_EQ(cap.count(el::Level::Info, "Stat data parse finished(-1)"), c.result == -1 ? 1 : 0) << c.name;
  }
}
