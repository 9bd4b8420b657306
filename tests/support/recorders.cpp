#include "tests/support/recorders.h"

#include <algorithm>
#include <chrono>

#include "ui/dlg_merlin_test.h"

namespace {

std::string call(const char* name, std::initializer_list<long long> arguments)
{
    std::string text = name;
    text += '(';
    bool first = true;
    for (long long argument : arguments) {
        if (!first)
            text += ',';
        text += std::to_string(argument);
        first = false;
    }
    text += ')';
    return text;
}

std::chrono::milliseconds ms(uint32_t milliseconds)
{
    return std::chrono::milliseconds(milliseconds);
}

}  // namespace

// ---- RecordingListener -------------------------------------------------------

std::string RecordingListener::text(const RecordedEvent& event)
{
    switch (event.kind) {
    case RecordedEvent::Status:
        return call("status", {event.first});
    case RecordedEvent::Remote:
        return call("remote", {event.first, event.second});
    case RecordedEvent::Timer:
        return call("timer", {event.first, event.second});
    }
    return "?";
}

void RecordingListener::record(RecordedEvent event)
{
    {
        std::lock_guard<std::mutex> hold(mutex_);
        records_.push_back(event);
    }
    changed_.notify_all();
}

void RecordingListener::onStatus(int code)
{
    record({RecordedEvent::Status, code, 0});
    std::unique_lock<std::mutex> hold(mutex_);
    if (code != holdCode_)
        return;
    held_ = true;
    changed_.notify_all();
    changed_.wait_for(hold, std::chrono::milliseconds(holdLimitMs_), [this] { return holdCode_ < 0; });
    holdCode_ = -1;
    held_ = false;
}

void RecordingListener::holdAt(int code, uint32_t limitMs)
{
    std::lock_guard<std::mutex> hold(mutex_);
    holdCode_ = code;
    holdLimitMs_ = limitMs;
}

bool RecordingListener::waitUntilHeld(uint32_t timeoutMs)
{
    std::unique_lock<std::mutex> hold(mutex_);
    return changed_.wait_for(hold, std::chrono::milliseconds(timeoutMs), [this] { return held_; });
}

void RecordingListener::release()
{
    {
        std::lock_guard<std::mutex> hold(mutex_);
        holdCode_ = -1;
    }
    changed_.notify_all();
}

void RecordingListener::onDslrRemoteState(int kind, int value)
{
    record({RecordedEvent::Remote, kind, value});
}

void RecordingListener::onDslrTimerState(int kind, int value)
{
    record({RecordedEvent::Timer, kind, value});
}

std::vector<RecordedEvent> RecordingListener::records() const
{
    std::lock_guard<std::mutex> hold(mutex_);
    return records_;
}

std::vector<std::string> RecordingListener::events() const
{
    std::vector<std::string> texts;
    for (const RecordedEvent& event : records())
        texts.push_back(text(event));
    return texts;
}

std::vector<int> RecordingListener::statuses() const
{
    std::vector<int> codes;
    for (const RecordedEvent& event : records())
        if (event.kind == RecordedEvent::Status)
            codes.push_back(event.first);
    return codes;
}

size_t RecordingListener::count() const
{
    std::lock_guard<std::mutex> hold(mutex_);
    return records_.size();
}

int RecordingListener::countLocked(int code) const
{
    return static_cast<int>(std::count_if(records_.begin(), records_.end(), [code](const RecordedEvent& e) {
        return e.kind == RecordedEvent::Status && e.first == code;
    }));
}

int RecordingListener::count(int code) const
{
    std::lock_guard<std::mutex> hold(mutex_);
    return countLocked(code);
}

std::string RecordingListener::describe() const
{
    std::string line = "notifications:";
    for (const std::string& event : events())
        line += " " + event;
    return line;
}

void RecordingListener::clear()
{
    std::lock_guard<std::mutex> hold(mutex_);
    records_.clear();
}

bool RecordingListener::waitForCount(size_t n, uint32_t timeoutMs)
{
    std::unique_lock<std::mutex> hold(mutex_);
    return changed_.wait_for(hold, ms(timeoutMs), [&] { return records_.size() >= n; });
}

bool RecordingListener::waitForStatus(int code, uint32_t timeoutMs, int occurrence)
{
    std::unique_lock<std::mutex> hold(mutex_);
    return changed_.wait_for(hold, ms(timeoutMs), [&] { return countLocked(code) >= occurrence; });
}

bool RecordingListener::waitForEvent(const std::string& event, uint32_t timeoutMs)
{
    std::unique_lock<std::mutex> hold(mutex_);
    return changed_.wait_for(hold, ms(timeoutMs), [&] {
        for (const RecordedEvent& recorded : records_)
            if (text(recorded) == event)
                return true;
        return false;
    });
}

// ---- RecordingDlgCallback ----------------------------------------------------

void RecordingDlgCallback::showStatus(int code)
{
    calls.push_back(call("showStatus", {code}));
}

void RecordingDlgCallback::showDslrRemoteState(int kind, int value)
{
    calls.push_back(call("showDslrRemoteState", {kind, value}));
}

void RecordingDlgCallback::showDslrTimerState(int kind, int value)
{
    calls.push_back(call("showDslrTimerState", {kind, value}));
}

// ---- RecordingTelescopeControl ---------------------------------------------

void RecordingTelescopeControl::record(std::string text)
{
    std::lock_guard<std::mutex> hold(mutex_);
    calls_.push_back(std::move(text));
}

void RecordingTelescopeControl::onHeartBeat()
{
    record("onHeartBeat()");
}

void RecordingTelescopeControl::connect(unsigned port)
{
    record(call("connect", {port}));
}

void RecordingTelescopeControl::disconnect()
{
    record("disconnect()");
}

void RecordingTelescopeControl::move(uint8_t direction, uint8_t speed)
{
    record(call("move", {direction, speed}));
}

void RecordingTelescopeControl::stop(uint8_t which)
{
    record(call("stop", {which}));
}

void RecordingTelescopeControl::setDslrRemote(uint8_t kind, uint8_t bits)
{
    record(call("setDslrRemote", {kind, bits}));
}

void RecordingTelescopeControl::queryDslrRemote(uint8_t which)
{
    record(call("queryDslrRemote", {which}));
}

void RecordingTelescopeControl::startDslrTimer(uint8_t a, uint8_t b, uint32_t milliseconds)
{
    record(call("startDslrTimer", {a, b, milliseconds}));
}

void RecordingTelescopeControl::readDslrTimer()
{
    record("readDslrTimer()");
}

std::vector<std::string> RecordingTelescopeControl::calls() const
{
    std::lock_guard<std::mutex> hold(mutex_);
    return calls_;
}

void RecordingTelescopeControl::clear()
{
    std::lock_guard<std::mutex> hold(mutex_);
    calls_.clear();
}

// ---- FakeDialogWindow --------------------------------------------------------

void FakeDialogWindow::addPortEntry(const char* text)
{
    portEntries.emplace_back(text);
}

void FakeDialogWindow::selectPortEntry(int index)
{
    // Like a combo box: an index outside the list clears the selection.
    selectedIndex = (index >= 0 && index < static_cast<int>(portEntries.size())) ? index : -1;
}

int FakeDialogWindow::selectedPortEntry()
{
    return selectedIndex;
}

void FakeDialogWindow::setButtonBitmap(int buttonId, int bitmapId)
{
    buttonBitmaps[buttonId] = bitmapId;
}

void FakeDialogWindow::checkRadioButton(int firstId, int lastId, int checkedId)
{
    for (int id = firstId; id <= lastId; ++id)
        checked[id] = (id == checkedId);
}

bool FakeDialogWindow::isButtonChecked(int buttonId)
{
    auto found = checked.find(buttonId);
    return found != checked.end() && found->second;
}

void FakeDialogWindow::enableControl(int controlId, bool enable)
{
    enabled[controlId] = enable;
    enableCalls.emplace_back(controlId, enable);
}

void FakeDialogWindow::focusControl(int controlId)
{
    focusedControl = controlId;
}

uint32_t FakeDialogWindow::readUnsigned(int controlId)
{
    return parseUnsignedText(text(controlId).c_str());
}

void FakeDialogWindow::writeUnsigned(int controlId, uint32_t value)
{
    const std::string digits = std::to_string(value);
    texts[controlId] = std::u16string(digits.begin(), digits.end());
    ++textWrites[controlId];
}

void FakeDialogWindow::setText(int controlId, const char16_t* newText)
{
    texts[controlId] = newText != nullptr ? std::u16string(newText) : std::u16string();
    ++textWrites[controlId];
}

void FakeDialogWindow::endDialog(int result)
{
    endResults.push_back(result);
}

void FakeDialogWindow::runAboutBox()
{
    ++aboutCount;
}

void FakeDialogWindow::postUserMessage(unsigned wParam, long lParam)
{
    std::lock_guard<std::mutex> hold(postedMutex_);
    posted_.emplace_back(wParam, lParam);
}

bool FakeDialogWindow::isEnabled(int controlId) const
{
    auto found = enabled.find(controlId);
    return found == enabled.end() || found->second;
}

std::u16string FakeDialogWindow::text(int controlId) const
{
    auto found = texts.find(controlId);
    return found != texts.end() ? found->second : std::u16string();
}

void FakeDialogWindow::typeText(int controlId, const std::u16string& newText)
{
    // Typing is the user's doing, not the program's: not counted as a write.
    texts[controlId] = newText;
}

std::vector<std::pair<unsigned, long>> FakeDialogWindow::takePostedMessages()
{
    std::lock_guard<std::mutex> hold(postedMutex_);
    std::vector<std::pair<unsigned, long>> taken(posted_.begin(), posted_.end());
    posted_.clear();
    return taken;
}

// ---- CapturingTelescopeControl -----------------------------------------------

CapturingTelescopeControl::CapturingTelescopeControl(TelescopeListener* listener) : EngineTestSeam(listener) {}

CapturingTelescopeControl::~CapturingTelescopeControl()
{
    // The engine thread calls the overrides above: it must be gone before
    // this part of the object is.
    shutDown();
}

bool CapturingTelescopeControl::shutDown(uint32_t waitMs)
{
    if (!shutDown_) {
        shutDown_ = true;
        threadsEnded_ = stopThreads(waitMs);
        if (threadsEnded_) {
            releaseLocks();
        }
    }
    return threadsEnded_;
}

platform::WaitResult CapturingTelescopeControl::writePort(const uint8_t* buffer, uint32_t count)
{
    platform::WaitResult result;
    {
        std::lock_guard<std::mutex> hold(mutex_);
        result = writeResult_;
        if (result != platform::WaitFailed)
            frames_.emplace_back(reinterpret_cast<const char*>(buffer), count);
    }
    changed_.notify_all();
    return result;
}

void CapturingTelescopeControl::setWriteResult(platform::WaitResult result)
{
    std::lock_guard<std::mutex> hold(mutex_);
    writeResult_ = result;
}

void CapturingTelescopeControl::setModemLines(int value)
{
    {
        std::lock_guard<std::mutex> hold(mutex_);
        modemLines_.push_back(value);
    }
    changed_.notify_all();
}

std::vector<std::string> CapturingTelescopeControl::frames() const
{
    std::lock_guard<std::mutex> hold(mutex_);
    return frames_;
}

void CapturingTelescopeControl::clearFrames()
{
    std::lock_guard<std::mutex> hold(mutex_);
    frames_.clear();
    modemLines_.clear();
}

bool CapturingTelescopeControl::waitForFrames(size_t n, uint32_t timeoutMs)
{
    std::unique_lock<std::mutex> hold(mutex_);
    return changed_.wait_for(hold, ms(timeoutMs), [&] { return frames_.size() >= n; });
}

std::vector<int> CapturingTelescopeControl::modemLines() const
{
    std::lock_guard<std::mutex> hold(mutex_);
    return modemLines_;
}
