/* Stand-in for <IOKit/storage/ata/ATASMARTLib.h>; see velmora_sdk_standin.h. */
#include "../../../velmora_sdk_standin.h"
