// The statistics cache text through the start-up load, a count, and a save that
// adds to it; the file a save writes must read back whole, with the counts added,
// and a save of nothing must leave the same counts.

#include <cstdint>
#include <cstdlib>
#include <string>

#include "fuzz/fuzz_support.h"
#include "norvane/stat/stat.h"
#include "norvane/utils.h"

extern "C" int LLVMFuzzerInitialize(int* /*argc*/, char*** /*argv*/) {
  norvane_fuzz::quiet_logger();
  norvane_fuzz::use_scratch_home();
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string text(reinterpret_cast<const char*>(data), size);
  norvane::Stat stat;
  const std::string path = stat.get_local_stat_path();
  norvane_fuzz::write_file(path, text);
  stat.load_stat_data();
  stat.do_sdk_launch();
  stat.do_model_invoke(7, 8);
  if (stat.save_stat_data(true) != 0) std::abort();

  norvane::Stat::StrIntMap launch, again_launch;
  norvane::Stat::ModelInvokeMap invoke, again_invoke;
  if (norvane::Stat::json_to_stat_data(norvane::utils::read_file_binary(path), launch, invoke) != 0) std::abort();
  // Added to whatever the text held (a count there may be anything, up to the largest).
  if (launch.empty() || invoke.count(7 * 1000000 + 8) == 0) std::abort();
  norvane::Stat again;
  if (again.save_stat_data(true) != 0) std::abort();
  norvane::Stat::json_to_stat_data(norvane::utils::read_file_binary(path), again_launch, again_invoke);
  if (launch != again_launch || invoke != again_invoke) std::abort();
  return 0;
}
