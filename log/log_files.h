// State shared by the log file sink and the settings that name its file.
// Everything here is guarded by the file lock, file_lock().
#pragma once

#include <cstdint>

#include "keel/log.h"
#include "log/log_internal.h"

namespace keel::log {

extern char s_log_path[kMaxPath];       // the directory, ending in '/', or ""
extern char s_proc_name[20];            // set by log_set_proc_name, or ""
extern log_v3_attr_t s_log_v3_attr;     // naming attributes
extern char s_log_filename[kMaxPath];   // full name of the file last named
extern char s_log_name_part[20];        // "_<name>", fixed at the first opening
extern uint32_t s_log_pid;              // fixed at the first opening

}  // namespace keel::log
