// The CPU runtime layer: loading, refusing bad input, outputs, threads, device.

#include <fcntl.h>
#include <unistd.h>

#include <atomic>
#include <cstdlib>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "../../platform/tamrin_mobile/src/onnx_graph_io.h"
#include "runtime/runtime_support.h"

namespace {

using namespace runtime_test;
using tamrin_mobile::detail::OnnxGraphIo;
using tamrin_mobile::detail::read_onnx_graph_io;

constexpr int kSize = 64;  // the colour classifier's input side

TamrinTensor gray_input() { return image_tensor(cv::Mat(kSize, kSize, CV_8UC3, cv::Scalar::all(128)), kClassifierNorm); }

// A tensor left by an earlier run: a failed run must not leave it behind.
TamrinTensor stale_output() {
  TamrinTensor t = float_tensor({1, 2}, {7.0f, 8.0f});
  t.name = "stale";
  return t;
}

void expect_default(const std::vector<TamrinTensor>& outputs) {
  for (const auto& t : outputs) {
    EXPECT_TRUE(t.name.empty());
    EXPECT_TRUE(t.shape.empty());
    EXPECT_EQ(t.data.data(), nullptr);
    EXPECT_EQ(t.data.length(), 0);
  }
}

TEST(TamrinPredictor, RefusesBytesThatAreNoNetwork) {
  const std::string good = read_bytes(model_path("color_classifier"));
  ASSERT_FALSE(good.empty());
  std::string flipped = good;
  for (size_t i = 0; i < flipped.size(); i += 3) flipped[i] = static_cast<char>(~flipped[i]);
  // Well-formed protobuf that OpenCV's importer refuses: an operator it does not know,
  // and a graph with nothing in it.
  std::string unknown_op = good;
  const size_t at = unknown_op.find("Softmax");
  ASSERT_NE(at, std::string::npos);
  unknown_op.replace(at, 7, "Softmux");
  const std::vector<std::string> cases = {
      std::string(), std::string("not a network at all"), std::string(1000, '\xff'), good.substr(0, good.size() / 2),
      flipped, unknown_op, std::string("\x3a\x00", 2)};
  for (const auto& bytes : cases) EXPECT_EQ(load_bytes(bytes), nullptr) << bytes.size() << " bytes";

  // Bytes on which OpenCV's importer itself crashes: one changed byte of the example
  // detector once killed norvane_serving with SIGSEGV during init. The checker
  // program imports them first, so this process survives and gets no predictor.
  std::string crashing = read_bytes(model_path("red_detector_101"));
  ASSERT_GT(crashing.size(), 386u);
  crashing[386] = '\x71';
  EXPECT_EQ(load_bytes(crashing), nullptr);
  EXPECT_NE(load_model("red_detector_101"), nullptr);  // the undamaged bytes still load

  tamrin_mobile::TamrinMobileConfig config;  // no bytes at all
  EXPECT_EQ((tamrin_mobile::CreateTamrinPredictor<tamrin_mobile::TamrinMobileConfig,
                                                  tamrin_mobile::TamrinEngineKind::kTamrinMobile>(config)),
            nullptr);
  config.memory_pack.model_data = const_cast<char*>(good.data());
  config.memory_pack.model_size = -5;
  EXPECT_EQ((tamrin_mobile::CreateTamrinPredictor<tamrin_mobile::TamrinMobileConfig,
                                                  tamrin_mobile::TamrinEngineKind::kTamrinMobile>(config)),
            nullptr);
}

TEST(TamrinPredictor, RefusesMalformedInputsAndLeavesDefaultOutputs) {
  auto predictor = load_model("color_classifier");
  ASSERT_NE(predictor, nullptr);

  std::vector<std::vector<TamrinTensor>> cases;
  cases.push_back({});  // no image
  TamrinTensor image = gray_input();
  image.data.Resize(image.data.length() - 4);  // one float short of its shape
  cases.push_back({image});
  for (const std::vector<int>& shape :
       {std::vector<int>{1, 3, kSize}, std::vector<int>{1, 3, kSize, 0}, std::vector<int>{1, 3, -kSize, kSize},
        std::vector<int>{1, 3, 1 << 30, 1 << 30}, std::vector<int>{}}) {
    TamrinTensor bad = gray_input();
    bad.shape = shape;
    cases.push_back({bad});
  }
  TamrinTensor no_data;
  no_data.shape = {1, 3, kSize, kSize};
  cases.push_back({no_data});
  TamrinTensor wrong_channels = gray_input();
  wrong_channels.shape = {1, 4, kSize / 2, kSize * 3 / 2};  // fits the buffer, not the network
  cases.push_back({wrong_channels});

  for (size_t i = 0; i < cases.size(); ++i) {
    std::vector<TamrinTensor> outputs{stale_output(), stale_output()};
    EXPECT_FALSE(predictor->Run(cases[i], &outputs, -1)) << "case " << i;
    EXPECT_EQ(outputs.size(), 2u) << "case " << i;
    expect_default(outputs);
  }
  EXPECT_FALSE(predictor->Run({gray_input()}, nullptr, -1));

  // The predictor still works after all of that.
  std::vector<TamrinTensor> outputs(1);
  EXPECT_TRUE(predictor->Run({gray_input()}, &outputs, -1));
}

TEST(TamrinPredictor, ReplacesOutputVectorWithOneOwningTensorPerNetworkOutput) {
  auto predictor = load_model("instance_segmenter");
  ASSERT_NE(predictor, nullptr);
  std::vector<TamrinTensor> outputs{stale_output(), stale_output(), stale_output()};
  ASSERT_TRUE(predictor->Run({image_tensor(cv::Mat(600, 800, CV_8UC3, cv::Scalar::all(128)), kSegmenterNorm)},
                             &outputs, -1));
  ASSERT_EQ(outputs.size(), 2u);  // model order: boxes, then masks
  EXPECT_EQ(outputs[0].shape, (std::vector<int>{2, 6}));
  EXPECT_EQ(outputs[1].shape, (std::vector<int>{2, 2, 64, 64}));
  for (const auto& t : outputs) {
    EXPECT_TRUE(t.data.memory_owned());
    size_t count = 1;
    for (int d : t.shape) count *= static_cast<size_t>(d);
    EXPECT_EQ(t.data.length(), static_cast<int64_t>(count * sizeof(float)));
  }
  // A non-owning input buffer, as the engine passes its image, is read in place.
  TamrinTensor owned = image_tensor(cv::Mat(600, 800, CV_8UC3, cv::Scalar::all(128)), kSegmenterNorm);
  TamrinTensor view;
  view.shape = owned.shape;
  view.data.Reset(owned.data.data(), owned.data.length());
  std::vector<TamrinTensor> again(1);
  ASSERT_TRUE(predictor->Run({view}, &again, -1));
  ASSERT_EQ(again.size(), 2u);
  EXPECT_EQ(std::memcmp(again[1].data.data(), outputs[1].data.data(), outputs[1].data.length()), 0);
}

TEST(TamrinPredictor, ConcurrentRunsGiveTheSameAnswers) {
  auto predictor = load_model("color_classifier");
  ASSERT_NE(predictor, nullptr);
  const cv::Scalar colours[] = {cv::Scalar(0, 0, 255), cv::Scalar(0, 255, 0), cv::Scalar(255, 0, 0)};
  std::vector<int> wrong(3, 0);
  std::vector<std::thread> threads;
  for (int label = 0; label < 3; ++label) {
    threads.emplace_back([&, label] {
      const TamrinTensor input = image_tensor(cv::Mat(kSize, kSize, CV_8UC3, colours[label]), kClassifierNorm);
      for (int i = 0; i < 20; ++i) {
        std::vector<TamrinTensor> outputs(1);
        if (!predictor->Run({input}, &outputs, -1) || outputs[0].shape != std::vector<int>{1, 3} ||
            floats(outputs[0])[label] < 0.9f) {
          ++wrong[label];
        }
      }
    });
  }
  for (auto& t : threads) t.join();
  EXPECT_EQ(wrong, std::vector<int>(3, 0));
}

// Regression: a predictor made with another thread count while others ran set
// OpenCV's process-wide count, which rebuilt its thread pool under the running
// networks (SIGSEGV inside TBB in half the runs). The first predictor decides it.
TEST(TamrinPredictor, ThreadCountStaysWhileNetworksRun) {
  const std::string bytes = read_bytes(model_path("red_detector"));
  auto running = load_bytes(bytes, 3);
  ASSERT_NE(running, nullptr);
  const int threads = cv::getNumThreads();
  std::atomic<bool> stop{false};
  std::atomic<int> failed{0};
  std::vector<std::thread> runners;
  for (int t = 0; t < 3; ++t) {
    runners.emplace_back([&] {
      const TamrinTensor input = image_tensor(cv::Mat(96, 96, CV_8UC3, cv::Scalar(0, 0, 200)), kDetectorNorm);
      while (!stop) {
        std::vector<TamrinTensor> outputs(1);
        if (!running->Run({input}, &outputs, -1)) ++failed;
      }
    });
  }
  for (int i = 0; i < 10; ++i) {
    EXPECT_NE(load_bytes(bytes, i % 2 ? 2 : 5), nullptr);
    EXPECT_EQ(cv::getNumThreads(), threads);
  }
  stop = true;
  for (auto& t : runners) t.join();
  EXPECT_EQ(failed, 0);
}

TEST(OnnxGraphIo, ReadsFedInputsAndOutputsInModelOrder) {
  OnnxGraphIo io;
  std::string bytes = read_bytes(model_path("red_detector_101"));
  ASSERT_TRUE(read_onnx_graph_io(reinterpret_cast<const unsigned char*>(bytes.data()), bytes.size(), &io));
  EXPECT_EQ(io.inputs, (std::vector<std::string>{"image", "im_size"}));  // weights are not inputs
  EXPECT_EQ(io.outputs, (std::vector<std::string>{"boxes"}));
  bytes = read_bytes(model_path("instance_segmenter"));
  ASSERT_TRUE(read_onnx_graph_io(reinterpret_cast<const unsigned char*>(bytes.data()), bytes.size(), &io));
  EXPECT_EQ(io.outputs, (std::vector<std::string>{"boxes", "masks"}));
}

// Every truncation of a model and bytes corrupted at every position: the reader
// must stay inside the buffer (AddressSanitizer watches) and never report more
// names than the whole model has.
TEST(OnnxGraphIo, StaysInsideDamagedBytes) {
  const std::string bytes = read_bytes(model_path("red_detector_101"));
  std::vector<unsigned char> copy(bytes.begin(), bytes.end());
  for (size_t n = 0; n < copy.size(); ++n) {
    std::vector<unsigned char> prefix(copy.begin(), copy.begin() + n);  // exact size, so overreads show
    OnnxGraphIo io;
    read_onnx_graph_io(prefix.data(), prefix.size(), &io);
    EXPECT_LE(io.inputs.size(), 2u);
  }
  for (size_t i = 0; i < copy.size(); ++i) {
    for (unsigned char v : {0x00, 0x7f, 0x80, 0xff}) {
      std::vector<unsigned char> damaged = copy;
      damaged[i] = v;
      OnnxGraphIo io;
      read_onnx_graph_io(damaged.data(), damaged.size(), &io);
    }
  }
  OnnxGraphIo io;
  EXPECT_FALSE(read_onnx_graph_io(nullptr, 0, &io));
}

class FpgaDevice : public ::testing::Test {
 protected:
  void SetUp() override {
    const char* old = std::getenv("TAMRIN_FPGA_DEVICE");
    had_ = old != nullptr;
    if (had_) old_ = old;
  }
  void TearDown() override {
    if (had_) {
      setenv("TAMRIN_FPGA_DEVICE", old_.c_str(), 1);
    } else {
      unsetenv("TAMRIN_FPGA_DEVICE");
    }
  }

 private:
  bool had_ = false;
  std::string old_;
};

TEST_F(FpgaDevice, CpuContextWithoutDeviceNode) {
  unsetenv("TAMRIN_FPGA_DEVICE");
  EXPECT_GE(tamrin_mobile::fpga::open_device(), 0);
  setenv("TAMRIN_FPGA_DEVICE", "", 1);
  EXPECT_GE(tamrin_mobile::fpga::open_device(), 0);
}

TEST_F(FpgaDevice, OpensNamedDeviceNodeOrFails) {
  setenv("TAMRIN_FPGA_DEVICE", "/nonexistent", 1);
  EXPECT_LT(tamrin_mobile::fpga::open_device(), 0);
  setenv("TAMRIN_FPGA_DEVICE", "/dev/null", 1);
  const int fd = tamrin_mobile::fpga::open_device();
  EXPECT_GE(fd, 0);
  EXPECT_GE(fcntl(fd, F_GETFD), 0);
  if (fd >= 0) close(fd);
}

}  // namespace
