// The main dialog's "Report...": the mount's own figures for a support
// request, read over the port chosen, and on request the self-test, with
// their progress, and a Save button that writes both and every frame and
// reply to a text file. The work runs on a thread of its own; Stop (or
// closing the window) ends a self-test with both axes stopped.
#pragma once

#include <QDialog>
#include <QString>
#include <atomic>
#include <functional>
#include <thread>

#include "platform/platform.h"
#include "preflight/mount_session.h"
#include "preflight/preflight.h"

class QLabel;
class QPlainTextEdit;
class QProgressBar;
class QPushButton;

class ReportDialog : public QDialog {
public:
    // `releasePort` is asked to let go of the port (the main dialog's
    // Disconnect) when it is held; it runs on the window's thread.
    ReportDialog(unsigned port, ShutterInterface shutter, std::function<void()> releasePort, QWidget* owner);
    ~ReportDialog() override;

    // Reads the figures, and with `selfTest` runs the self-test after them;
    // false while a run is under way.
    bool start(bool selfTest);
    bool running() const { return running_; }
    // The text shown, then the frames and replies of the last run.
    QString reportText() const;
    bool saveTo(const QString& path);

protected:
    void reject() override;

private:
    void work(bool selfTest);
    void finished(const PreflightResult& result);
    void askSelfTest();
    void askSave();
    void append(const std::string& line);
    void stopWork();

    const unsigned port_;
    const ShutterInterface shutter_;
    std::function<void()> releasePort_;
    QLabel* state_;
    QPlainTextEdit* text_;
    QProgressBar* progress_;
    QPushButton* selfTest_;
    QPushButton* stop_;
    QPushButton* save_;
    QPushButton* close_;
    MountSession session_;
    std::thread worker_;
    platform::Event* stopEvent_;
    std::atomic<bool> running_{false};
    std::string transcript_;
};

// Opens the report for COM `port` over `owner` and runs it until closed.
void runReportDialog(QWidget* owner, unsigned port, ShutterInterface shutter, std::function<void()> releasePort);
