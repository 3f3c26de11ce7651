// Reading a model resource directory: conf.json, preprocess_args.json,
// postprocess_args.json and label_list.txt, written per case into a temp folder.

#include <sys/stat.h>
#include <unistd.h>

#include <memory>
#include <string>
#include <utility>

#include <gtest/gtest.h>

#include "core/core_test_support.h"
#include "norvane/utils.h"
#include "support/log_capture.h"

using norvane::NV_ERR_MODEL_CONFIG;
using norvane::NV_OK;
using norvane_test::LogCapture;
using norvane_test::ProbePredictor;
using norvane_test::ResourceDir;

namespace {

const char* kMinimalConf = R"({"modelType":2,"modelId":7,"modelName":"m"})";
const char* kPreprocess = R"({"img_mean":[1,2,3],"scale":0.5,"colorFormat":"RGB"})";
const char* kFailedToParse = "Failed to parse config file: ";

class ModelConfigTest : public ::testing::Test {
 protected:
  void SetUp() override {
    dir.write("conf.json", kMinimalConf);
    dir.write("preprocess_args.json", kPreprocess);
  }
  // init() on a fresh predictor; the predictor stays for inspection.
  int init_fresh() {
    p.reset(new ProbePredictor(dir.config()));
    return p->init();
  }
  // A preprocess_args.json of the given members plus the required ones not named.
  void preprocess(const std::string& members) { dir.write("preprocess_args.json", "{" + members + "}"); }

  ResourceDir dir;
  std::unique_ptr<ProbePredictor> p;
};

TEST_F(ModelConfigTest, MinimalDescriptionKeepsConstructorValues) {
  LogCapture cap;
  ASSERT_EQ(init_fresh(), NV_OK);
  const norvane::ModelConfig& c = p->_model_config;
  EXPECT_EQ(c.modelType, 2);
  EXPECT_EQ(c.modelId, 7);
  EXPECT_EQ(c.modelName, "m");
  EXPECT_EQ(c.releaseId, 0);
  EXPECT_EQ(c.bizModelId, 0);
  EXPECT_EQ(c.nType, 0);
  EXPECT_EQ(c.modelEnc, 0);
  EXPECT_EQ(c.product, "Norvane");
  EXPECT_EQ(c.soc, "");
  EXPECT_FLOAT_EQ(c.thresholdRec, 0.3f);
  EXPECT_TRUE(p->initialized());
  EXPECT_EQ(cap.count(el::Level::Debug, "The recommended threshold is"), 0);
}

TEST_F(ModelConfigTest, FullDescriptionFillsEveryField) {
  dir.write("conf.json", R"({"modelType":6,"modelId":-9007199254740993,"modelName":"n","releaseId":3,
    "bizModelId":4,"modelEnc":2,"product":"P","soc":"S","nType":102,"thresholdRec":0.45,"extra":[1]})");
  LogCapture cap(1);
  ASSERT_EQ(init_fresh(), NV_OK);
  const norvane::ModelConfig& c = p->_model_config;
  EXPECT_EQ(c.modelType, 6);
  EXPECT_EQ(c.modelId, -9007199254740993LL);  // 64-bit, not rounded through a double
  EXPECT_EQ(c.releaseId, 3);
  EXPECT_EQ(c.bizModelId, 4);
  EXPECT_EQ(c.modelEnc, 2);
  EXPECT_EQ(c.product, "P");
  EXPECT_EQ(c.soc, "S");
  EXPECT_EQ(c.nType, 102);
  EXPECT_FLOAT_EQ(c.thresholdRec, 0.45f);
  EXPECT_EQ(p->_conf.count("extra"), 1u);
  EXPECT_EQ(cap.count(el::Level::Debug, "The recommended threshold is 0.45"), 1);
  EXPECT_EQ(cap.count(el::Level::Verbose, "Read model config:" + dir.path() + "/conf.json"), 1);
}

TEST_F(ModelConfigTest, IntegersMustBeWrittenWithoutFractionOrExponent) {
  for (const std::string bad : {"7.0", "1e3", "\"7\"", "9223372036854775808", "null", "true"}) {
    dir.write("conf.json", R"({"modelType":2,"modelName":"m","modelId":)" + bad + "}");
    LogCapture cap;
    EXPECT_EQ(init_fresh(), NV_ERR_MODEL_CONFIG) << bad;
    EXPECT_EQ(cap.count(el::Level::Error, std::string(kFailedToParse) + "\"type mismatch!"), 1) << bad;
    EXPECT_FALSE(p->initialized());
  }
  dir.write("conf.json", R"({"modelType":2,"modelName":"m","modelId":-7})");
  EXPECT_EQ(init_fresh(), NV_OK);
  EXPECT_EQ(p->_model_config.modelId, -7);

  // A plain number is accepted in either form where a number is asked for.
  dir.write("conf.json", R"({"modelType":2,"modelId":7,"modelName":"m","thresholdRec":1})");
  ASSERT_EQ(init_fresh(), NV_OK);
  EXPECT_FLOAT_EQ(p->_model_config.thresholdRec, 1.0f);
}

TEST_F(ModelConfigTest, FaultyDescriptionsAreRejected) {
  struct Case {
    const char* conf;
    const char* log;
  };
  const Case cases[] = {
      {R"([{"modelType":2,"modelId":7,"modelName":"m"}])", kFailedToParse},  // root an array
      {R"({"modelId":7,"modelName":"m"})", kFailedToParse},
      {R"({"modelType":2,"modelName":"m"})", kFailedToParse},
      {R"({"modelType":2,"modelId":7})", kFailedToParse},
      {R"({"modelType":2,"modelId":7,"modelName":3})", kFailedToParse},
      {R"({"modelType":2,"modelId":7,"modelName":"m","releaseId":1.5})", kFailedToParse},
      {R"({"modelType":2,"modelId":7,"modelName":"m","soc":1})", kFailedToParse},
      {R"({"modelType":2,"modelId":7,"modelName":"m","thresholdRec":"0.5"})", kFailedToParse},
      // Beyond float: the narrowing gave inf ("The recommended threshold is inf").
      {R"({"modelType":2,"modelId":7,"modelName":"m","thresholdRec":1e39})", "\"thresholdRec\" out of range"},
      {R"({"modelType":2,"modelId":7,"modelName":"m","thresholdRec":-1e39})", kFailedToParse},
      // Regression: picojson throws for a number that no double holds, and the
      // exception left init (norvane_serving exited 2 instead of 68).
      {R"({"modelType":2,"modelId":7,"modelName":"m","extra":2e867})",
       "Failed to parse config file: a number is beyond the range of double"},
      {"2e867", "Failed to parse config file: a number is beyond the range of double"},
      {R"({"modelType":2,)", "Parse config file failed: syntax error at line 1 near: "},
      {"", "Parse config file failed: "},
  };
  for (const Case& c : cases) {
    dir.write("conf.json", c.conf);
    LogCapture cap;
    EXPECT_EQ(init_fresh(), NV_ERR_MODEL_CONFIG) << c.conf;
    EXPECT_EQ(cap.count(el::Level::Error, c.log), 1) << c.conf;
    EXPECT_FALSE(p->initialized()) << c.conf;
  }
}

TEST_F(ModelConfigTest, MissingDescriptionNamesThePath) {
  dir.remove("conf.json");
  LogCapture cap;
  EXPECT_EQ(init_fresh(), NV_ERR_MODEL_CONFIG);
  EXPECT_EQ(cap.count(el::Level::Error, "Config file not exists: " + dir.path() + "/conf.json"), 1);
}

TEST_F(ModelConfigTest, FieldsReadBeforeAFaultKeepTheirNewValues) {
  dir.write("conf.json", R"({"modelType":6,"modelId":8,"modelName":"early","releaseId":"late"})");
  EXPECT_EQ(init_fresh(), NV_ERR_MODEL_CONFIG);
  EXPECT_EQ(p->_model_config.modelType, 6);
  EXPECT_EQ(p->_model_config.modelName, "early");
}

TEST_F(ModelConfigTest, PreprocessingParametersAreApplied) {
  preprocess(R"("img_mean":[104,117.5,123,9],"resize":[640.9,480],"scale":[0.1,0.2,0.3],
    "max_size":1333,"target_size":800,"colorFormat":"bgr","outputNodeName":"out")");
  LogCapture cap;
  ASSERT_EQ(init_fresh(), NV_OK);
  EXPECT_FLOAT_EQ(p->_mean[0], 104.0f);
  EXPECT_FLOAT_EQ(p->_mean[1], 117.5f);
  EXPECT_FLOAT_EQ(p->_mean[2], 123.0f);
  EXPECT_EQ(p->_resize_w, 640);  // width first, truncated
  EXPECT_EQ(p->_resize_h, 480);
  EXPECT_FLOAT_EQ(p->_scale[0], 0.1f);
  EXPECT_FLOAT_EQ(p->_scale[2], 0.3f);
  EXPECT_EQ(p->_max_size, 1333);
  EXPECT_EQ(p->_target_size, 800);
  EXPECT_EQ(p->_color_format, norvane::BGR);
  EXPECT_EQ(p->_output_node_name, "out");
  EXPECT_EQ(cap.count(el::Level::Debug, "Config file read done"), 1);
}

TEST_F(ModelConfigTest, ScalarScaleSetsAllThreeChannels) {
  preprocess(R"("img_mean":[0,0,0],"scale":0.017,"colorFormat":"Rgb")");
  ASSERT_EQ(init_fresh(), NV_OK);
  for (float s : p->_scale) EXPECT_FLOAT_EQ(s, 0.017f);
  EXPECT_EQ(p->_color_format, norvane::RGB);
}

TEST_F(ModelConfigTest, UnknownColorFormatFallsBackToRgb) {
  preprocess(R"("img_mean":[0,0,0],"scale":1,"colorFormat":"Gray")");
  LogCapture cap;
  ASSERT_EQ(init_fresh(), NV_OK);
  EXPECT_EQ(p->_color_format, norvane::RGB);
  EXPECT_EQ(cap.count(el::Level::Error, "Unsupported color format GRAY"), 1);
}

TEST_F(ModelConfigTest, FaultyPreprocessingParametersFailInit) {
  const char* cases[] = {
      R"("scale":1,"colorFormat":"RGB")",                                // no img_mean
      R"("img_mean":[0,0,0],"colorFormat":"RGB")",                       // no scale
      R"("img_mean":[0,0,0],"scale":1)",                                 // no colorFormat
      R"("img_mean":[0,0],"scale":1,"colorFormat":"RGB")",               // short img_mean
      R"("img_mean":[0,0,0],"scale":[1,1],"colorFormat":"RGB")",         // short scale
      R"("img_mean":[0,0,0],"resize":[640],"scale":1,"colorFormat":"RGB")",
      R"("img_mean":[0,0,0],"resize":[1e10,480],"scale":1,"colorFormat":"RGB")",  // beyond int
      R"("img_mean":[0,0,"1"],"scale":1,"colorFormat":"RGB")",
      R"("img_mean":[0,0,0],"scale":"1","colorFormat":"RGB")",
      R"("img_mean":[0,0,0],"scale":1,"max_size":1333.0,"colorFormat":"RGB")",
      R"("img_mean":[0,0,0],"scale":1,"colorFormat":"RGB","outputNodeName":1)",
      R"("img_mean":[0,0,1e39],"scale":1,"colorFormat":"RGB")",          // beyond float
      R"("img_mean":[0,0,0],"scale":-1e300,"colorFormat":"RGB")",
      R"("img_mean":[0,0,0],"scale":[1,1e39,1],"colorFormat":"RGB")",
      R"("img_mean":[0,0,0],"scale":1,"colorFormat":"RGB","unused":1e999)",  // beyond double
  };
  for (const char* members : cases) {
    preprocess(members);
    LogCapture cap;
    EXPECT_EQ(init_fresh(), NV_ERR_MODEL_CONFIG) << members;
    EXPECT_EQ(cap.count(el::Level::Error, kFailedToParse), 1) << members;
    EXPECT_FALSE(p->initialized()) << members;
  }
  dir.write("preprocess_args.json", "[1,2,3]");
  EXPECT_EQ(init_fresh(), NV_ERR_MODEL_CONFIG);
}

TEST_F(ModelConfigTest, UnreadablePreprocessingFileIsLoggedButNotFatal) {
  const std::pair<const char*, const char*> cases[] = {
      {"", "Failed to read config file. Is the RES path wrong?"},
      {"{\"img_mean\":", "Parse config file failed: syntax error"},
  };
  for (const auto& c : cases) {
    dir.write("preprocess_args.json", c.first);
    LogCapture cap;
    EXPECT_EQ(init_fresh(), NV_OK) << c.first;
    EXPECT_EQ(cap.count(el::Level::Error, c.second), 1) << c.first;
    EXPECT_TRUE(p->initialized());
  }
  dir.remove("preprocess_args.json");
  LogCapture cap;
  EXPECT_EQ(init_fresh(), NV_OK);
  EXPECT_EQ(cap.count(el::Level::Error, "Failed to read config file. Is the RES path wrong?"), 1);
  EXPECT_EQ(p->_resize_w, 0);  // left at its start value
}

// Regression: a resource file that opens but cannot be read (here a directory)
// threw std::ios_base::failure out of the reader instead of taking the path of an
// unreadable file.
TEST_F(ModelConfigTest, DirectoryInPlaceOfAFileIsAnUnreadableFile) {
  struct Case {
    const char* file;
    int code;
    const char* log;  // "" for none
  };
  const Case cases[] = {
      {"conf.json", NV_ERR_MODEL_CONFIG, "Config file not exists: "},
      {"preprocess_args.json", NV_OK, "Failed to read config file. Is the RES path wrong?"},
      {"postprocess_args.json", NV_OK, ""},
      {"label_list.txt", NV_OK, ""},
  };
  for (const Case& c : cases) {
    const std::string path = dir.path() + "/" + c.file;
    const std::string saved = norvane::utils::read_file_binary(path);
    dir.remove(c.file);
    ASSERT_EQ(::mkdir(path.c_str(), 0700), 0) << c.file;
    LogCapture cap;
    int code = -1;
    EXPECT_NO_THROW(code = init_fresh()) << c.file;
    EXPECT_EQ(code, c.code) << c.file;
    if (*c.log != '\0') {
      EXPECT_EQ(cap.count(el::Level::Error, c.log), 1) << c.file;
    }
    EXPECT_EQ(cap.count(el::Level::Error, "basic_filebuf"), 0) << c.file;
    ::rmdir(path.c_str());
    dir.write(c.file, saved);
  }
}

TEST_F(ModelConfigTest, PostprocessingFileIsOptional) {
  ASSERT_EQ(init_fresh(), NV_OK);
  EXPECT_TRUE(p->_is_normed);

  dir.write("postprocess_args.json", R"({"is_normed":0})");
  ASSERT_EQ(init_fresh(), NV_OK);
  EXPECT_FALSE(p->_is_normed);

  dir.write("postprocess_args.json", "not json");
  LogCapture cap;
  EXPECT_EQ(init_fresh(), NV_OK);
  EXPECT_EQ(cap.count(el::Level::Error, "Parse postprocess file failed: syntax error"), 1);

  for (const char* bad : {R"({"other":1})", R"({"is_normed":true})", "[0]", R"({"is_normed":1e400})"}) {
    dir.write("postprocess_args.json", bad);
    EXPECT_EQ(init_fresh(), NV_ERR_MODEL_CONFIG) << bad;
  }
}

TEST_F(ModelConfigTest, LabelLinesGiveTextAfterTheFirstColon) {
  dir.write("label_list.txt", "0:cat\na:b:c\ndog\n:\n\nfish\r\nlast");
  ASSERT_EQ(init_fresh(), NV_OK);
  const std::vector<std::string> expected = {"cat", "b:c", "dog", "", "", "fish\r", "last"};
  EXPECT_EQ(p->_labels, expected);

  // A second reading replaces the list whole; a missing file empties it.
  dir.remove("label_list.txt");
  ASSERT_EQ(p->init(), NV_OK);
  EXPECT_TRUE(p->_labels.empty());
}

TEST_F(ModelConfigTest, SecondInitOverwritesPresentKeysAndKeepsAbsentOnes) {
  dir.write("conf.json", R"({"modelType":2,"modelId":7,"modelName":"m","releaseId":5,"modelEnc":1,
    "soc":"old","thresholdRec":0.5})");
  preprocess(R"("img_mean":[0,0,0],"resize":[320,240],"scale":1,"max_size":900,"colorFormat":"BGR")");
  ASSERT_EQ(init_fresh(), NV_OK);

  dir.write("conf.json", R"({"modelType":1,"modelId":8,"modelName":"n"})");
  preprocess(R"("img_mean":[1,1,1],"scale":2,"colorFormat":"RGB")");
  ASSERT_EQ(p->init(), NV_OK);
  const norvane::ModelConfig& c = p->_model_config;
  EXPECT_EQ(c.modelType, 1);
  EXPECT_EQ(c.modelId, 8);
  EXPECT_EQ(c.releaseId, 5);
  EXPECT_EQ(c.soc, "old");
  EXPECT_FLOAT_EQ(c.thresholdRec, 0.5f);
  EXPECT_EQ(c.modelEnc, 0);  // the one optional key that falls back
  EXPECT_EQ(p->_resize_w, 320);
  EXPECT_EQ(p->_max_size, 900);
  EXPECT_EQ(p->_color_format, norvane::RGB);

  // The mark, once set, survives a failing init.
  dir.write("conf.json", "[]");
  EXPECT_EQ(p->init(), NV_ERR_MODEL_CONFIG);
  EXPECT_TRUE(p->initialized());
}

}  // namespace
