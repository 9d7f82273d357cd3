#include "app/setup_app.h"

// The process's one application object, constructed before the entry runs.
CSetupApp theApp;
