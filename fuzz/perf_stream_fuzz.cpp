// The perf stream, fed in chunks whose sizes the input chooses, never
// crashes, keeps its pending bytes bounded, and gives the same updates as
// the whole stream fed at once.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string_view>
#include <vector>

#include "lucidlink/perf_stream_parser.hpp"

namespace {

class Collector : public velmora::LucidLinkPerformanceUpdateReciever {
 public:
  void didReceivePerfUpdate(const velmora::LucidPerfUpdate& update) override {
    if (update.dataLayer == velmora::LucidDataLayer::all) std::abort();
    updates.push_back(update);
  }
  std::vector<velmora::LucidPerfUpdate> updates;
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size < 1) return 0;
  // The first byte seeds the chunk sizes; the rest is the stream.
  unsigned seed = data[0];
  const std::string_view stream(reinterpret_cast<const char*>(data + 1), size - 1);

  Collector whole;
  velmora::detail::PerfLineStream reference;
  reference.feed(stream, whole);

  Collector pieces;
  velmora::detail::PerfLineStream chunked;
  for (std::size_t at = 0; at < stream.size();) {
    seed = seed * 1103515245u + 12345u;
    const std::size_t length = 1 + (seed >> 16) % 64;
    chunked.feed(stream.substr(at, length), pieces);
    if (chunked.pendingBytes() > velmora::detail::PerfLineStream::kMaxLine) std::abort();
    at += length;
  }
  if (!(pieces.updates == whole.updates)) std::abort();
  return 0;
}
