#include "ui/bridges.h"

// Made before main runs and ended at process exit; neither needs the application object.
CNotifyStateChange g_notifyStateChange;
CUiCallBack g_uiCallBack;
