// Any answer handed to the set/delete verdict gives a result; a success
// needs "successfully processed" in the answer.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>

#include "velmora/lucidlink/lucid_config.hpp"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  std::string answer(reinterpret_cast<const char*>(data), size);
  const velmora::LucidConfigSetOrDeleteOutput verdict(answer);
  if (verdict.output() != answer) std::abort();
  const bool processed = answer.find("successfully processed") != std::string::npos;
  if (verdict.result().isSuccess() != processed) std::abort();
  return 0;
}
