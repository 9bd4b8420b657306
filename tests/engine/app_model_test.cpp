// The notification mailbox: one slot, the last writer wins, and a post per
// notification that the dialog later turns into one delivery.
#include <gtest/gtest.h>

#include <cstdio>
#include <string>
#include <thread>
#include <vector>

#include "app/app_globals.h"
#include "app/app_model.h"
#include "resources/resource_ids.h"
#include "tests/support/recorders.h"
#include "ui/dlg_merlin_test.h"

namespace {

using Calls = std::vector<std::string>;
using Posts = std::vector<std::pair<unsigned, long>>;

// The model alone, delivering to a recording callback.
class Mailbox : public ::testing::Test {
protected:
    void SetUp() override { model.dlgCallback = &shown; }
    void TearDown() override { model.slotLock.destroy(); }

    void deliver(int times = 1)
    {
        for (int i = 0; i < times; ++i)
            model.deliverNotification(kNotificationMessage);
    }

    AppModel model;
    RecordingDlgCallback shown;
};

TEST_F(Mailbox, TheLastNotificationIsWhatEveryDeliveryShows)
{
    model.onStatus(9);
    model.onStatus(10);
    deliver(2);
    EXPECT_EQ((Calls{"showStatus(10)", "showStatus(10)"}), shown.calls);
}

TEST_F(Mailbox, ATimerNotificationOverwritesAStatus)
{
    model.onStatus(11);
    model.onDslrTimerState(2, 500);
    deliver(2);
    EXPECT_EQ((Calls{"showDslrTimerState(2,500)", "showDslrTimerState(2,500)"}), shown.calls);
}

TEST_F(Mailbox, EachKindIsDeliveredToItsOwnDisplay)
{
    model.onDslrRemoteState(0, 7);
    deliver();
    model.onDslrTimerState(2, 65535);
    deliver();
    model.onStatus(12);
    deliver();
    EXPECT_EQ((Calls{"showDslrRemoteState(0,7)", "showDslrTimerState(2,65535)", "showStatus(12)"}), shown.calls);
}

TEST_F(Mailbox, AStatusLeavesTheSecondValueAlone)
{
    model.onDslrTimerState(2, 1234);
    model.onStatus(7);
    EXPECT_EQ(1234, model.value2);
    EXPECT_EQ(KindStatus, model.kind);
    EXPECT_EQ(7, model.value);
    deliver();
    EXPECT_EQ((Calls{"showStatus(7)"}), shown.calls);
}

TEST_F(Mailbox, TheSlotIsNotClearedByADelivery)
{
    model.onStatus(1);
    deliver(3);
    EXPECT_EQ((Calls{"showStatus(1)", "showStatus(1)", "showStatus(1)"}), shown.calls);
}

TEST_F(Mailbox, AnEmptySlotOrAnUnknownKindDeliversNothing)
{
    EXPECT_EQ(KindNone, model.kind);
    deliver();
    model.kind = 4;
    deliver();
    model.kind = -1;
    deliver();
    EXPECT_TRUE(shown.calls.empty());
}

TEST_F(Mailbox, OnlyTheNotificationMessageDelivers)
{
    model.onStatus(3);
    for (unsigned wParam : {0u, 1u, 999u, 1001u, 0x400u, 0xFFFFFFFFu})
        model.deliverNotification(wParam);
    EXPECT_TRUE(shown.calls.empty());
    deliver();
    EXPECT_EQ((Calls{"showStatus(3)"}), shown.calls);
}

TEST_F(Mailbox, NoCallbackNoDelivery)
{
    model.dlgCallback = nullptr;
    model.onStatus(3);
    deliver();
    EXPECT_EQ(KindStatus, model.kind);
    EXPECT_TRUE(shown.calls.empty());
}

TEST_F(Mailbox, ADeliveryNeverSeesHalfANotification)
{
    // The engine thread stores while the user-interface thread delivers;
    // every timer notification carries the same number twice.
    constexpr int kStores = 20000;
    std::thread engine([this] {
        for (int i = 1; i <= kStores; ++i) {
            if (i % 3 == 0)
                model.onStatus(i);
            model.onDslrTimerState(i, i);
        }
    });
    for (int i = 0; i < kStores; ++i)
        deliver();
    engine.join();
    deliver();
    int torn = 0;
    for (const std::string& call : shown.calls) {
        int kind = 0, value = 0;
        if (std::sscanf(call.c_str(), "showDslrTimerState(%d,%d)", &kind, &value) == 2 && kind != value)
            ++torn;
    }
    EXPECT_EQ(0, torn);
    EXPECT_EQ("showDslrTimerState(20000,20000)", shown.calls.back());
}

// ---- Posting to the dialog -----------------------------------------------

// The model with the real dialog object and a window that keeps what is
// posted to it, as the application wires them.
class Posting : public ::testing::Test {
protected:
    void SetUp() override
    {
        theDlgMerlinTest = &dialog;
        dialog.onInitDialog(&window);
    }

    void TearDown() override
    {
        theDlgMerlinTest = nullptr;
        model.slotLock.destroy();
    }

    // What the toolkit does with each posted message, in order.
    void handlePosted()
    {
        for (const auto& post : window.takePostedMessages())
            dialog.onUserMessage(post.first);
    }

    FakeDialogWindow window;
    RecordingTelescopeControl engine;
    AppModel model;
    DlgMerlinTest dialog{nullptr, &engine, &model};
};

TEST_F(Posting, TheDialogRegistersAsTheCallback)
{
    EXPECT_EQ(&dialog, model.dlgCallback);
}

TEST_F(Posting, EachNotificationPostsOnce)
{
    model.onStatus(9);
    model.onDslrRemoteState(0, 1);
    model.onDslrTimerState(2, 3);
    EXPECT_EQ((Posts{{1000, 0}, {1000, 0}, {1000, 0}}), window.takePostedMessages());
}

TEST_F(Posting, OpeningPortIsNeverShownWhenConnectingFollowsBeforeDelivery)
{
    model.onStatus(9);
    model.onStatus(10);
    handlePosted();
    EXPECT_EQ(u"Connecting... Please wait.", window.text(IDC_STATUS));
    EXPECT_EQ(2, window.textWrites[IDC_STATUS]);
}

TEST_F(Posting, ATimerValueAfterAStatusLeavesTheStatusField)
{
    model.onStatus(11);
    handlePosted();
    model.onStatus(7);
    model.onDslrTimerState(2, 1000);
    handlePosted();
    EXPECT_EQ(u"Ready", window.text(IDC_STATUS));
    EXPECT_EQ(1, window.textWrites[IDC_STATUS]);
    EXPECT_EQ(u"1000", window.text(IDC_TIMER_STATUS));
    EXPECT_EQ(2, window.textWrites[IDC_TIMER_STATUS]);
}

TEST_F(Posting, ARemoteStateShowsNothing)
{
    model.onDslrRemoteState(0, 15);
    handlePosted();
    EXPECT_TRUE(window.texts.empty());
}

TEST_F(Posting, NothingIsPostedWithoutADialogOrAWindow)
{
    theDlgMerlinTest = nullptr;
    model.onStatus(4);
    postToDialog(kNotificationMessage, 0);
    theDlgMerlinTest = &dialog;
    dialog.onDialogEnded();
    model.onStatus(5);
    EXPECT_TRUE(window.takePostedMessages().empty());
    // The latest notification stays in the slot.
    EXPECT_EQ(KindStatus, model.kind);
    EXPECT_EQ(5, model.value);
}

TEST_F(Posting, PostToDialogPassesItsArgumentsOn)
{
    postToDialog(1000, 0);
    postToDialog(7, -3);
    EXPECT_EQ((Posts{{1000, 0}, {7, -3}}), window.takePostedMessages());
}

}  // namespace
