// A small program for the macOS build check: runs a command through
// GenericCLIUtility and prints its output.
#include <cstdio>
#include <exception>
#include <string>
#include <vector>

#include "velmora/runner/cli_utility.hpp"

int main(int argc, char** argv) {
  if (argc < 2) {
    std::fprintf(stderr, "usage: run-tool TOOL [ARG...]\n");
    return 2;
  }
  try {
    const velmora::GenericCLIUtility tool(argv[1]);
    const std::string output = tool.run(std::vector<std::string>(argv + 2, argv + argc));
    std::fwrite(output.data(), 1, output.size(), stdout);
    return 0;
  } catch (const std::exception& error) {
    std::fprintf(stderr, "%s\n", error.what());
    return 1;
  }
}
