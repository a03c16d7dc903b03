// A save-check request line against the simulated desktop: whatever the
// bytes, the answer is one of the four.
#include <cstdint>
#include <cstdlib>
#include <string>

#include "channel/manual_loop.h"
#include "channel/output.h"
#include "channel/utf8_repair.h"
#include "context/save_check.h"
#include "context/sim/sim_desktop.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  using namespace morvik;
  static const auto desktop = context::sim::makeDefaultDesktop();
  static channel::ManualLoop loop;
  const std::string line = channel::repairUtf8(std::string_view(reinterpret_cast<const char*>(data), size));
  const std::string answer =
      channel::serialize(context::saveAnswer({desktop->accessibility(), desktop->input(), loop}, line));
  if (answer != R"({"error":"保存请求无效"})" && answer != R"({"skipped":"窗口已切换或存在对话框"})" &&
      answer != R"({"skipped":"正在操作，请稍后保存"})" && answer != R"({"ready":true})")
    std::abort();
  return 0;
}
