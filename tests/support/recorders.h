// Recorders and stand-ins shared by the suites: a listener that keeps every
// notification, an iTelescopeControl that keeps every call, a dialog window
// that keeps the state a real one would show, and an engine whose serial
// writes and modem lines are captured instead of reaching a device.
#pragma once

#include <condition_variable>
#include <cstdint>
#include <deque>
#include <map>
#include <mutex>
#include <string>
#include <utility>
#include <vector>

#include "app/interfaces.h"
#include "engine/telescope_control.h"
#include "tests/support/engine_test_seam.h"
#include "ui/dialog_window.h"

// One TelescopeListener notification: the kind and its arguments (a status
// has its code in `first` and 0 in `second`).
struct RecordedEvent {
    enum Kind { Status, Remote, Timer };
    Kind kind;
    int first;
    int second;
};

// Every TelescopeListener notification, in order, from any thread. As text
// each reads "status(9)", "remote(0,1)" or "timer(2,1000)".
class RecordingListener : public TelescopeListener {
public:
    void onStatus(int code) override;
    void onDslrRemoteState(int kind, int value) override;
    void onDslrTimerState(int kind, int value) override;

    std::vector<RecordedEvent> records() const;
    std::vector<std::string> events() const;
    // The codes of the status notifications alone.
    std::vector<int> statuses() const;
    // All notifications so far.
    size_t count() const;
    // How many times status `code` was reported.
    int count(int code) const;
    // The events as one line, for failure messages.
    std::string describe() const;
    void clear();

    // True once at least n notifications have arrived.
    bool waitForCount(size_t n, uint32_t timeoutMs);
    // True once status `code` has arrived `occurrence` times.
    bool waitForStatus(int code, uint32_t timeoutMs, int occurrence = 1);
    // True once the notification text has arrived.
    bool waitForEvent(const std::string& event, uint32_t timeoutMs);

    static std::string text(const RecordedEvent& event);

    // A busy engine: the thread that reports status `code` next is held in
    // onStatus until release(), or for at most `limitMs`.
    void holdAt(int code, uint32_t limitMs);
    // True once a thread is held.
    bool waitUntilHeld(uint32_t timeoutMs);
    void release();

private:
    void record(RecordedEvent event);
    int countLocked(int code) const;

    mutable std::mutex mutex_;
    std::condition_variable changed_;
    std::vector<RecordedEvent> records_;
    int holdCode_ = -1;
    uint32_t holdLimitMs_ = 0;
    bool held_ = false;
};

// Every TelescopeControlDlgCallback call, as text: "showStatus(10)".
class RecordingDlgCallback : public TelescopeControlDlgCallback {
public:
    void showStatus(int code) override;
    void showDslrRemoteState(int kind, int value) override;
    void showDslrTimerState(int kind, int value) override;

    std::vector<std::string> calls;
};

// Every iTelescopeControl call with its arguments: "connect(1)", "move(0,2)",
// "startDslrTimer(1,0,70000)", "onHeartBeat()".
class RecordingTelescopeControl : public iTelescopeControl {
public:
    void onHeartBeat() override;
    void connect(unsigned port) override;
    void disconnect() override;
    void move(uint8_t direction, uint8_t speed) override;
    void stop(uint8_t which) override;
    void setDslrRemote(uint8_t kind, uint8_t bits) override;
    void queryDslrRemote(uint8_t which) override;
    void startDslrTimer(uint8_t a, uint8_t b, uint32_t milliseconds) override;
    void readDslrTimer() override;

    std::vector<std::string> calls() const;
    void clear();

private:
    void record(std::string call);

    mutable std::mutex mutex_;
    std::vector<std::string> calls_;
};

// The state a dialog window holds, for the toolkit-free dialog decisions.
// Controls nobody has disabled count as enabled; fields nobody has written
// are empty. readUnsigned reads a field's text the way the real dialog does.
class FakeDialogWindow : public DialogWindow {
public:
    void addPortEntry(const char* text) override;
    void selectPortEntry(int index) override;
    int selectedPortEntry() override;
    void setButtonBitmap(int buttonId, int bitmapId) override;
    void checkRadioButton(int firstId, int lastId, int checkedId) override;
    bool isButtonChecked(int buttonId) override;
    void enableControl(int controlId, bool enabled) override;
    void focusControl(int controlId) override;
    uint32_t readUnsigned(int controlId) override;
    void writeUnsigned(int controlId, uint32_t value) override;
    void setText(int controlId, const char16_t* text) override;
    void endDialog(int result) override;
    void runAboutBox() override;
    void postUserMessage(unsigned wParam, long lParam) override;

    // What the user sees.
    bool isEnabled(int controlId) const;
    std::u16string text(int controlId) const;
    // What the user types into a field.
    void typeText(int controlId, const std::u16string& text);
    // Posted messages not yet taken, oldest first.
    std::vector<std::pair<unsigned, long>> takePostedMessages();

    std::vector<std::string> portEntries;
    int selectedIndex = -1;
    std::map<int, int> buttonBitmaps;
    std::map<int, bool> checked;
    std::map<int, bool> enabled;
    // Every enableControl call in order, as (id, enabled).
    std::vector<std::pair<int, bool>> enableCalls;
    int focusedControl = 0;
    std::map<int, std::u16string> texts;
    // How many times each field's text was set.
    std::map<int, int> textWrites;
    std::vector<int> endResults;
    int aboutCount = 0;

private:
    std::mutex postedMutex_;
    std::deque<std::pair<unsigned, long>> posted_;
};

// The real engine with its own thread and pipe, whose serial port is
// replaced: each frame written is kept as a string and each modem-line value
// as a number. The port itself is never opened unless a test connects.
class CapturingTelescopeControl : public EngineTestSeam {
public:
    explicit CapturingTelescopeControl(TelescopeListener* listener);
    ~CapturingTelescopeControl() override;

    platform::WaitResult writePort(const uint8_t* buffer, uint32_t count) override;
    void setModemLines(int value) override;

    std::vector<std::string> frames() const;
    void clearFrames();
    bool waitForFrames(size_t n, uint32_t timeoutMs);
    std::vector<int> modemLines() const;
    // What each later write returns, WaitFirst at first; a frame the device
    // refuses (WaitFailed) is not kept.
    void setWriteResult(platform::WaitResult result);

    // Ends the engine's threads once (stopThreads) and releases its lock and
    // handles; true when the threads have ended. The destructor does it too.
    bool shutDown(uint32_t waitMs = 5000);

private:
    mutable std::mutex mutex_;
    std::condition_variable changed_;
    std::vector<std::string> frames_;
    std::vector<int> modemLines_;
    platform::WaitResult writeResult_ = platform::WaitFirst;
    bool shutDown_ = false;
    bool threadsEnded_ = false;
};
