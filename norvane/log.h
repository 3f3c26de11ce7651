#pragma once

// Every record of the library goes to the one logger "Norvane".
#include <easylogging++.h>

#define NV_LOGGER_ID "Norvane"
#define NV_LOG(LEVEL) CLOG(LEVEL, NV_LOGGER_ID)
#define NV_VLOG(LEVEL) CVLOG(LEVEL, NV_LOGGER_ID)
