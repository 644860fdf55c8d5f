// The whole application on the headless host: InitInstance, the dialog, ExitInstance's exit code.
#include <gtest/gtest.h>

#include "app/quillon_dialog_app.h"
#include "dialog_fixture.h"

namespace fcp::test {
namespace {

using AppTest = DialogTest;

TEST_F(AppTest, SilentRunEndsWithTheCheckResult) {
  ops_.camera_present = true;
  for (const int verdict : {0, 1}) {
    ops_.verdict = verdict;
    EXPECT_EQ(ui::AfxWinMain(L"-s -LVIOutput"), verdict ? 0 : -1);
    EXPECT_EQ(ReadFile(ResultFile()), verdict ? "[Tool_Result]\r\nRtn=Pass\r\n" : "[Tool_Result]\r\nRtn=Fail\r\n");
  }
  EXPECT_EQ(ops_.repair_runs.load(), 2);
}

TEST_F(AppTest, InteractiveRunWithoutADisplayRefusesAndFails) {
  EXPECT_EQ(ui::AfxWinMain(L"-LVIOutput"), -1);
  EXPECT_EQ(ops_.repair_runs.load(), 0);
  EXPECT_TRUE(std::filesystem::is_empty(dir_));
}

TEST_F(AppTest, SilentRunWhoseDialogCannotBeShownFails) {
  ui::Backend* backend = ui::InstallBackend(nullptr);  // DoModal makes no window
  const int exit_code = ui::AfxWinMain(L"-s");
  ui::InstallBackend(backend);
  EXPECT_EQ(exit_code, -1);
  EXPECT_EQ(ops_.repair_runs.load(), 0);
  EXPECT_TRUE(std::filesystem::is_empty(dir_));
}

}  // namespace
}  // namespace fcp::test
