// The process-wide configuration record.
#include "daemon/front/config.h"

Config& g_cfg = *new Config;
