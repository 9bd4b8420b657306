// The application-wide references, set once by the entry point.
#pragma once

class HeartBeatTimer;
class AppModel;
class TelescopeControl;
class DlgMerlinTest;

extern void* theInstance;  // the module instance handle, opaque outside Win32
extern HeartBeatTimer* theHeartBeatTimer;
extern AppModel* theAppModel;
extern TelescopeControl* theTelescopeControl;
extern DlgMerlinTest* theDlgMerlinTest;
