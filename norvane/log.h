#pragma once

// Every record of the library goes to the one logger "Norvane".
#include <easylogging++.h>

#define NV_LOGGER_ID "Norvane"
#define NV_LOG(LEVEL) CLOG(LEVEL, NV_LOGGER_ID)
#define NV_VLOG(LEVEL) CVLOG(LEVEL, NV_LOGGER_ID)

namespace norvane {

// Around fork, called by the library's fork handlers: every lock of the logging
// library's storage and loggers is taken before the fork, in the order a record
// takes them, so that no other thread is inside a record; the parent releases
// them, the child makes them anew (they are recursive and record their owner's
// thread id, which the child's thread does not have).
void log_prepare_fork();
void log_after_fork_parent();
void log_after_fork_child();

}  // namespace norvane
