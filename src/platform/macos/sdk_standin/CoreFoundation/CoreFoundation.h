/* Stand-in for <CoreFoundation/CoreFoundation.h>; see velmora_sdk_standin.h. */
#include "../velmora_sdk_standin.h"
