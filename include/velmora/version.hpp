// The library's version. The build checks that it matches the project's.
#pragma once

#define VELMORA_FSUTILS_VERSION_MAJOR 0
#define VELMORA_FSUTILS_VERSION_MINOR 1
#define VELMORA_FSUTILS_VERSION_PATCH 0
#define VELMORA_FSUTILS_VERSION "0.1.0"
