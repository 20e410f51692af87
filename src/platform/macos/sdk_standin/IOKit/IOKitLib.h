/* Stand-in for <IOKit/IOKitLib.h>; see velmora_sdk_standin.h. */
#include "../velmora_sdk_standin.h"
