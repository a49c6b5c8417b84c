// Reading the plain text of a large update list, the way the updater reads a
// fetched list.txt. Goal: at least 100 MB/s of RTF on the team's machines.
#include <benchmark/benchmark.h>

#include <string>

#include "updatelist/rtf_reader.h"
#include "updatelist/rtf_writer.h"

namespace {

std::string MakeList(int lines) {
  const char* folders[] = {"皮肤", "插件", "语言包", "plugins", "解码器"};
  std::string text;
  for (int i = 0; i < lines; ++i) {
    text += i % 3 == 0 ? "win\\system32\\" : "app\\";
    text += folders[i % 5];
    text += "\\文件" + std::to_string(i) + ".dll?" + std::to_string(1000 + i * 37) + "*2008-05-12 14:30:05\r\n";
  }
  return text;
}

void BM_ReadChineseList(benchmark::State& state) {
  const std::string rtf = vmrk::PlainTextToRtf(MakeList(static_cast<int>(state.range(0))));
  for (auto _ : state) {
    vmrk::Result<std::string> text = vmrk::RtfToPlainText(rtf);
    if (!text.ok()) state.SkipWithError("the list does not read");
    else benchmark::DoNotOptimize(text->data());
  }
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * static_cast<int64_t>(rtf.size()));
  state.counters["rtf_bytes"] = static_cast<double>(rtf.size());
}
// Wall time: what a user waits for, not only the CPU this thread used.
BENCHMARK(BM_ReadChineseList)->Arg(100000)->Unit(benchmark::kMillisecond)->UseRealTime()->Repetitions(5);

}  // namespace

BENCHMARK_MAIN();
