// The installed boot system's place, given by the build (the install prefix
// is chosen when the build is configured). Alone in its file, so that a new
// prefix rebuilds only this.
#include "media_builder.h"

const char* const INSTALLED_BOOT_SYSTEM = BRINDLEX_INSTALLED_BOOTSYS;
