/* Stand-in for <DiskArbitration/DiskArbitration.h>; see velmora_sdk_standin.h. */
#include "../velmora_sdk_standin.h"
