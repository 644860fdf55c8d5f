// The operator-notice port on standard error, each line prefixed with the program's name as GNU
// tools do ("fixcorepower: ...").
#pragma once
#include "os/operator_notices.h"

namespace fcp::os {

OperatorNotices& StderrNotices();

}  // namespace fcp::os
