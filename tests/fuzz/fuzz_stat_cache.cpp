// The statistics cache text through the start-up load, a count, and the save's
// serialisation; what a save writes must load back to the same counts.

#include <cstdint>
#include <cstdlib>
#include <string>

#include "fuzz/fuzz_support.h"
#include "norvane/stat/stat.h"

extern "C" int LLVMFuzzerInitialize(int* /*argc*/, char*** /*argv*/) {
  norvane_fuzz::quiet_logger();
  norvane_fuzz::use_scratch_home();
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string text(reinterpret_cast<const char*>(data), size);
  norvane::Stat stat;
  norvane_fuzz::write_file(stat.get_local_stat_path(), text);
  stat.load_stat_data();
  stat.do_sdk_launch();
  stat.do_model_invoke(7, 8);
  const std::string saved = stat.stat_data_to_json();

  norvane::Stat::StrIntMap launch, again_launch;
  norvane::Stat::ModelInvokeMap invoke, again_invoke;
  if (norvane::Stat::json_to_stat_data(saved, launch, invoke) != 0) std::abort();
  norvane_fuzz::write_file(stat.get_local_stat_path(), saved);
  norvane::Stat reloaded;
  reloaded.load_stat_data();
  norvane::Stat::json_to_stat_data(reloaded.stat_data_to_json(), again_launch, again_invoke);
  if (launch != again_launch || invoke != again_invoke) std::abort();
  return 0;
}
