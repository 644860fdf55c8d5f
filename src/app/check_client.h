// What a check worker works for: the dialog, as the worker sees it (check_worker.h). The dialog
// implements it; the worker knows nothing else of the dialog, so that neither includes the other.
#pragma once
#include <optional>
#include <stop_token>

// One worker's calls, in this order: WorkerStarting on the dialog's thread before the worker's
// thread runs; then on the worker's thread CheckStarting, RunSequence, ReportVerdict (only when the
// run was not stopped), and last WorkerEnded, after which the worker calls nothing more.
class CheckClient {
 public:
  // The sequence that the worker is about to run honours `stop` at its safe points.
  virtual void WorkerStarting(std::stop_token stop) = 0;
  // The check begins: the Check button is disabled.
  virtual void CheckStarting() = 0;
  // Runs the repair sequence for the selected camera, marked as running meanwhile. Returns the
  // verdict (true: PASS), or nothing when the run ended at a safe point on a stop request.
  virtual std::optional<bool> RunSequence() = 0;
  // Shows the verdict, writes the result files, enables Check and, in silent mode, closes the dialog.
  virtual void ReportVerdict(bool pass) = 0;
  // The worker's thread is done with the dialog: wakes the dialog's thread if it waits for it.
  virtual void WorkerEnded() = 0;

 protected:
  ~CheckClient() = default;
};
