// Calls carried to a dialog's thread over a loop of the test's own: this thread is the dialog's
// thread and runs the loop's tasks when the test says so.
#include <gtest/gtest.h>

#include <chrono>
#include <condition_variable>
#include <deque>
#include <future>
#include <mutex>
#include <thread>

#include "ui/dialog_thread.h"

namespace fcp::ui {
namespace {

using namespace std::chrono_literals;

class Loop {
 public:
  DialogThread::PostToLoop Primitive() {
    return [this](DialogThread::Task task) {
      std::lock_guard lock(mutex_);
      if (refuse_) return false;
      tasks_.push_back(std::move(task));
      changed_.notify_all();
      return true;
    };
  }
  void Refuse() {
    std::lock_guard lock(mutex_);
    refuse_ = true;
  }
  bool WaitForTasks(size_t count) {
    std::unique_lock lock(mutex_);
    return changed_.wait_for(lock, 10s, [&] { return tasks_.size() >= count; });
  }
  size_t Pending() {
    std::lock_guard lock(mutex_);
    return tasks_.size();
  }
  void RunAll() {
    std::deque<DialogThread::Task> tasks;
    {
      std::lock_guard lock(mutex_);
      tasks.swap(tasks_);
    }
    for (auto& task : tasks) task();
  }

 private:
  std::mutex mutex_;
  std::condition_variable changed_;
  std::deque<DialogThread::Task> tasks_;
  bool refuse_ = false;
};

TEST(DialogThread, SendRunsOnTheDialogsThreadAndWaitsForIt) {
  Loop loop;
  DialogThread dialog(loop.Primitive());
  std::thread::id ran_on;
  int value = 0;
  auto sender = std::async(std::launch::async, [&] {
    const bool sent = dialog.Send([&] {
      ran_on = std::this_thread::get_id();
      value = 42;
    });
    return sent && value == 42;  // the call has run by the time Send returns
  });
  ASSERT_TRUE(loop.WaitForTasks(1));
  EXPECT_EQ(sender.wait_for(50ms), std::future_status::timeout) << "the sender waits for the dialog's thread";
  loop.RunAll();
  EXPECT_TRUE(sender.get());
  EXPECT_EQ(ran_on, std::this_thread::get_id());

  // On the dialog's thread itself the call runs at once, without the loop.
  EXPECT_TRUE(dialog.Send([&] { value = 7; }));
  EXPECT_EQ(value, 7);
  EXPECT_EQ(loop.Pending(), 0u);
}

TEST(DialogThread, AWindowThatGoesLetsWaitingSendersGoAndNeverRunsTheirCalls) {
  Loop loop;
  DialogThread dialog(loop.Primitive());
  bool ran = false;
  auto sender = std::async(std::launch::async, [&] {
    int local = 0;  // the call refers to the sender's locals: it must not run once Send has returned
    const bool sent = dialog.Send([&] {
      local = 1;
      ran = true;
    });
    return sent;
  });
  ASSERT_TRUE(loop.WaitForTasks(1));
  dialog.Close();
  ASSERT_EQ(sender.wait_for(10s), std::future_status::ready) << "a closed window releases its senders";
  EXPECT_FALSE(sender.get());
  loop.RunAll();  // the task's late turn
  EXPECT_FALSE(ran);

  // After the window is gone nothing is queued or run, from any thread.
  EXPECT_FALSE(dialog.Send([&] { ran = true; }));
  EXPECT_FALSE(std::async(std::launch::async, [&] { return dialog.Send([&] { ran = true; }); }).get());
  EXPECT_FALSE(dialog.Post([&] { ran = true; }));
  EXPECT_EQ(loop.Pending(), 0u);
  EXPECT_FALSE(ran);
}

TEST(DialogThread, PostedCallsRunInOrderUnlessTheWindowIsGoneByTheirTurn) {
  Loop loop;
  std::vector<int> seen;
  {
    DialogThread dialog(loop.Primitive());
    EXPECT_TRUE(std::async(std::launch::async, [&] { return dialog.Post([&] { seen.push_back(1); }); }).get());
    EXPECT_TRUE(dialog.Post([&] { seen.push_back(2); }));
    EXPECT_TRUE(seen.empty()) << "posting never runs the call on the spot";
    loop.RunAll();
    EXPECT_EQ(seen, (std::vector<int>{1, 2}));
    EXPECT_TRUE(dialog.Post([&] { seen.push_back(3); }));
  }  // the window goes with a call still queued
  loop.RunAll();
  EXPECT_EQ(seen, (std::vector<int>{1, 2}));
}

TEST(DialogThread, ASendTheLoopRefusesFailsInsteadOfWaitingForever) {
  Loop loop;
  DialogThread dialog(loop.Primitive());
  loop.Refuse();
  bool ran = false;
  EXPECT_FALSE(std::async(std::launch::async, [&] { return dialog.Send([&] { ran = true; }); }).get());
  EXPECT_FALSE(dialog.Post([&] { ran = true; }));
  EXPECT_FALSE(ran);
}

}  // namespace
}  // namespace fcp::ui
