#include "app/app_globals.h"

void* theInstance = nullptr;
HeartBeatTimer* theHeartBeatTimer = nullptr;
AppModel* theAppModel = nullptr;
TelescopeControl* theTelescopeControl = nullptr;
DlgMerlinTest* theDlgMerlinTest = nullptr;
