#include <iostream>

#include <velmora/lucidlink/lucid_link_cli_utility.hpp>
#include <velmora/runner/cli_utility.hpp>

int main() {
  const velmora::GenericCLIUtility echo("/bin/echo");
  std::cout << echo.run({"consumer", "works"});
  const velmora::LucidLinkCLIUtility lucid("/nonexistent/lucid");
  return lucid.isInstalled() ? 1 : 0;
}
