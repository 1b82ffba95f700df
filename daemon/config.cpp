// The process-wide configuration record.
#include "daemon/config.h"

Config g_cfg;

const char* const DEFAULT_SITE_PAGE = "https://edit.quelmar.dev/";
const char* const DEFAULT_SITE_ORIGIN = "https://edit.quelmar.dev";
