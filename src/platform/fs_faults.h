// The fault-injecting build of the file-system seam (fs.h), for tests only.
//
// The test program installer-faults links fs_faults.cc in place of fs.cc. It
// numbers every change the seam makes from 1 in the order the run makes them
// (each write call is one, so a file written in three pieces costs three;
// reads change nothing and are not counted) and follows the plan in the
// environment variable named below:
//
//   unset or ""  pass every operation through, print nothing
//   "count"      pass through; at exit print the total on standard error
//   "trace"      as "count", and one line per operation before it is made
//   "K:EIO"      operation K fails with EIO without being made; the others
//   "K:ENOSPC"   pass through (a failing close still releases the descriptor,
//                as close does; a failing sync simply does not happen)
//   "K:stop"     the process ends right before operation K with status
//                fault_stop_status, as at a power cut: nothing more is done,
//                no buffer is flushed and no exit handler runs
//
// Every line the layer prints starts with fault_log_prefix. A plan it cannot
// read ends the process with fault_plan_status before the run starts.
#pragma once

namespace fs {

inline constexpr const char* fault_plan_variable = "INSTALLER_FAULT";
inline constexpr const char* fault_log_prefix = "fault-layer: ";
inline constexpr int fault_stop_status = 99;
inline constexpr int fault_plan_status = 98;

}  // namespace fs
