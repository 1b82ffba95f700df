// The process-wide configuration record.
#include "daemon/config/config.h"

Config& g_cfg = *new Config;
