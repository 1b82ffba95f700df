// The process-wide configuration record.
#include "core/base/config.h"

Config& g_cfg = *new Config;
