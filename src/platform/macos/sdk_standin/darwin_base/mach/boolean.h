/* Off the Mac only; see ../MacTypes.h. */
#include "../MacTypes.h"
