/// @file
/// The library's version. The build checks that it matches the project's.
#pragma once

///@{
/// The major, minor and patch numbers, and the three joined by dots. Before
/// 1.0 a minor release may change the binary interface.
#define VELMORA_FSUTILS_VERSION_MAJOR 0
#define VELMORA_FSUTILS_VERSION_MINOR 1
#define VELMORA_FSUTILS_VERSION_PATCH 0
#define VELMORA_FSUTILS_VERSION "0.1.0"
///@}
