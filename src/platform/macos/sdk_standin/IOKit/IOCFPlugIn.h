/* Stand-in for <IOKit/IOCFPlugIn.h>; see velmora_sdk_standin.h. */
#include "../velmora_sdk_standin.h"
