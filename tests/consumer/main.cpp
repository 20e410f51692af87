// Uses the installed library the way an application would: the runner, a
// client, the version header and the drive-health messages.
#include <cstring>
#include <iostream>

#include <vlmproto.pb.h>
#include <velmora/lucidlink/lucid_link_cli_utility.hpp>
#include <velmora/runner/cli_utility.hpp>
#include <velmora/version.hpp>

int main() {
  const velmora::GenericCLIUtility echo("/bin/echo");
  std::cout << echo.run({"consumer", "works"});
  if (std::strlen(VELMORA_FSUTILS_VERSION) == 0) return 1;
  cloud::SMARTData data;
  data.set_temperature(300);
  if (data.ByteSizeLong() == 0) return 1;
  const velmora::LucidLinkCLIUtility lucid("/nonexistent/lucid");
  return lucid.isInstalled() ? 1 : 0;
}
