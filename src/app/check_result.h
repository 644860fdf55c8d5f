// The result of the last check, process-wide.
#pragma once
#include <atomic>
#include <cstdint>

// 0 passed or none started, -1 failed or unfinished. Set by the check worker (check_worker.h), and by
// the dialog and the application where no check could run; the worker's and the process's exit code
// (CQuillon_DialogApp::ExitInstance).
extern std::atomic<int32_t> g_nCheckResult;
