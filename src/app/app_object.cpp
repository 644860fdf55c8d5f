// The one application object, constructed before the program's entry runs. Linked into the tool's
// executable itself (a static library would leave it out).
#include "app/quillon_dialog_app.h"

CQuillon_DialogApp theApp;
