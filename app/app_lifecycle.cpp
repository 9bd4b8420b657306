#include "app/app_lifecycle.h"

#include "app/app_globals.h"
#include "app/app_model.h"
#include "app/heartbeat_timer.h"
#include "engine/telescope_control.h"
#include "ui/dlg_merlin_test.h"

bool startApplication(void* instance)
{
    theInstance = instance;
    theHeartBeatTimer = new HeartBeatTimer();
    theAppModel = new AppModel();
    theTelescopeControl = new TelescopeControl(theAppModel);
    if (!theTelescopeControl->started())
        return false;
    theHeartBeatTimer->setListener(theTelescopeControl);
    if (theHeartBeatTimer->startThread() == nullptr)
        return false;
    // Published only once built: the engine may post through it from then on.
    DlgMerlinTest* dialog = new DlgMerlinTest(theInstance, theTelescopeControl, theAppModel);
    theDlgMerlinTest = dialog;
    return true;
}

bool startConsoleApplication(TelescopeListener* listener)
{
    theHeartBeatTimer = new HeartBeatTimer();
    theTelescopeControl = new TelescopeControl(listener);
    if (!theTelescopeControl->started())
        return false;
    theHeartBeatTimer->setListener(theTelescopeControl);
    return theHeartBeatTimer->startThread() != nullptr;
}

void shutdownApplication()
{
    // The engine and port reader threads would otherwise go on using the
    // engine, the model and the dialog object after they are released: stop
    // the heartbeat's calls first, then both threads, and only then delete.
    if (theHeartBeatTimer != nullptr)
        theHeartBeatTimer->clearListener();
    bool engineEnded = true;
    if (theTelescopeControl != nullptr)
        engineEnded = theTelescopeControl->stopThreads(kEngineStopWaitMs);

    if (engineEnded) {
        DlgMerlinTest* dialog = theDlgMerlinTest;
        theDlgMerlinTest = nullptr;
        delete dialog;
        if (theTelescopeControl != nullptr) {
            theTelescopeControl->releaseLocks();
            delete theTelescopeControl;
            theTelescopeControl = nullptr;
        }
    }
    // A heartbeat thread that has not ended keeps its timer and lock.
    if (theHeartBeatTimer != nullptr && theHeartBeatTimer->stopThread()) {
        theHeartBeatTimer->releaseLock();
        delete theHeartBeatTimer;
        theHeartBeatTimer = nullptr;
    }
    if (engineEnded) {
        delete theAppModel;
        theAppModel = nullptr;
    }
}
