/* Stand-in for <IOKit/storage/nvme/NVMeSMARTLibExternal.h>; see velmora_sdk_standin.h. */
#include "../../../velmora_sdk_standin.h"
