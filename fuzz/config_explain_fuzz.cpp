// Any answer handed to the explanation parser gives explanations; it never
// fails, and keeps the answer unchanged.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>

#include "velmora/lucidlink/lucid_config.hpp"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  std::string answer(reinterpret_cast<const char*>(data), size);
  const velmora::LucidConfigExplainOutput explained(answer);
  if (explained.output() != answer) std::abort();
  if (explained.explanations().size() > answer.size()) std::abort();
  return 0;
}
