#include "ui/qt/report_dialog.h"

#include <QFile>
#include <QFileDialog>
#include <QFontDatabase>
#include <QFontMetrics>
#include <QHBoxLayout>
#include <QLabel>
#include <QMessageBox>
#include <QPlainTextEdit>
#include <QProgressBar>
#include <QPushButton>
#include <QVBoxLayout>

namespace {

// A port the main dialog's connection still holds is let go of within a
// disconnect; a port that stays busy longer is someone else's.
constexpr uint32_t kPortReleaseMs = 3000;
constexpr uint32_t kPortRetryMs = 100;
// Figures read before the self-test: the firmware and six an axis.
constexpr int kFigureCount = 13;
// The text box shows a figure's line whole.
constexpr int kTextColumns = 128;
constexpr int kTextRows = 24;

}  // namespace

ReportDialog::ReportDialog(unsigned port, ShutterInterface shutter, std::function<void()> releasePort, QWidget* owner)
    : QDialog(owner), port_(port), shutter_(shutter), releasePort_(std::move(releasePort)),
      stopEvent_(platform::createEvent(true, false))
{
    setWindowTitle(QStringLiteral("Mount report - COM%1").arg(port));
    state_ = new QLabel(this);
    text_ = new QPlainTextEdit(this);
    text_->setReadOnly(true);
    text_->setLineWrapMode(QPlainTextEdit::NoWrap);
    text_->setFont(QFontDatabase::systemFont(QFontDatabase::FixedFont));
    const QFontMetrics metrics(text_->font());
    text_->setMinimumSize(metrics.horizontalAdvance(QLatin1Char('0')) * kTextColumns,
                          metrics.lineSpacing() * kTextRows);
    text_->setAccessibleName(QStringLiteral("Report"));
    progress_ = new QProgressBar(this);
    progress_->setAccessibleName(QStringLiteral("Progress"));
    selfTest_ = new QPushButton(QStringLiteral("Run self-test..."), this);
    stop_ = new QPushButton(QStringLiteral("Stop"), this);
    save_ = new QPushButton(QStringLiteral("Save..."), this);
    close_ = new QPushButton(QStringLiteral("Close"), this);
    for (QPushButton* button : {selfTest_, stop_, save_, close_})
        button->setAutoDefault(false);

    QHBoxLayout* buttons = new QHBoxLayout;
    buttons->addWidget(selfTest_);
    buttons->addWidget(stop_);
    buttons->addStretch();
    buttons->addWidget(save_);
    buttons->addWidget(close_);
    QVBoxLayout* layout = new QVBoxLayout(this);
    layout->addWidget(state_);
    layout->addWidget(text_);
    layout->addWidget(progress_);
    layout->addLayout(buttons);

    connect(selfTest_, &QPushButton::clicked, this, [this] { askSelfTest(); });
    connect(stop_, &QPushButton::clicked, this, [this] { platform::setEvent(stopEvent_); });
    connect(save_, &QPushButton::clicked, this, [this] { askSave(); });
    connect(close_, &QPushButton::clicked, this, [this] { reject(); });
}

ReportDialog::~ReportDialog()
{
    stopWork();
    if (stopEvent_ != nullptr)
        platform::closeEvent(stopEvent_);
}

void ReportDialog::stopWork()
{
    if (stopEvent_ != nullptr)
        platform::setEvent(stopEvent_);
    if (worker_.joinable())
        worker_.join();
}

void ReportDialog::reject()
{
    // A self-test under way ends with both axes stopped before the window goes.
    stopWork();
    QDialog::reject();
}

bool ReportDialog::start(bool selfTest)
{
    if (running_ || stopEvent_ == nullptr)
        return false;
    if (worker_.joinable())
        worker_.join();
    platform::resetEvent(stopEvent_);
    text_->clear();
    transcript_.clear();
    int steps = kFigureCount;
    if (selfTest)
        steps += 6 + (shutter_ != ShutterInterface::None ? 1 : 0);
    progress_->setRange(0, steps);
    progress_->setValue(0);
    state_->setText(selfTest ? QStringLiteral("Self-test running: the mount moves. Stop ends it.")
                             : QStringLiteral("Reading the mount's figures..."));
    running_ = true;
    selfTest_->setEnabled(false);
    save_->setEnabled(false);
    stop_->setEnabled(selfTest);
    worker_ = std::thread(&ReportDialog::work, this, selfTest);
    return true;
}

void ReportDialog::work(bool selfTest)
{
    // A port that does not open may be held by the main dialog's connection:
    // it is asked once to let go, and the port tried again meanwhile.
    const uint64_t start = platform::nowMilliseconds();
    bool asked = false;
    while (!session_.open(port_)) {
        if (!asked && releasePort_)
            QMetaObject::invokeMethod(
                this, [this] { releasePort_(); }, Qt::QueuedConnection);
        asked = true;
        if (platform::nowMilliseconds() - start >= kPortReleaseMs ||
            platform::waitEvent(stopEvent_, kPortRetryMs) == platform::WaitFirst)
            break;
    }
    PreflightResult result;
    if (!session_.isOpen()) {
        char reason[512];
        platform::serialOpenFailure(reason, sizeof reason);
        const std::string line = std::string("The port did not open") + (reason[0] ? ": " : ".") + reason + "\n";
        QMetaObject::invokeMethod(
            this, [this, line] { append(line); }, Qt::QueuedConnection);
        result.lost = true;
    } else {
        PreflightPlan plan;
        plan.shutter = shutter_;
        PreflightProgress progress;
        auto advance = [this](const std::string& line) {
            QMetaObject::invokeMethod(
                this,
                [this, line] {
                    append(line);
                    progress_->setValue(progress_->value() + 1);
                },
                Qt::QueuedConnection);
        };
        progress.figure = [advance](const MountFigure& figure) { advance(figureLine(figure)); };
        progress.step = [advance](const PreflightStep& step) { advance(stepLine(step)); };
        result = runPreflight(session_, plan, selfTest, stopEvent_, progress);
        const std::string transcript = session_.transcript();
        QMetaObject::invokeMethod(
            this, [this, transcript] { transcript_ = transcript; }, Qt::QueuedConnection);
    }
    session_.close();
    QMetaObject::invokeMethod(
        this, [this, result] { finished(result); }, Qt::QueuedConnection);
}

void ReportDialog::finished(const PreflightResult& result)
{
    if (!result.figures.empty())
        append(summaryLine(result));
    progress_->setValue(progress_->maximum());
    if (result.selfTestRan)
        state_->setText(result.passed() ? QStringLiteral("Self-test passed.") : QStringLiteral("Self-test FAILED."));
    else
        state_->setText(result.figures.empty() ? QStringLiteral("No report.")
                                               : QStringLiteral("The mount's figures; the self-test moves it."));
    running_ = false;
    selfTest_->setEnabled(true);
    stop_->setEnabled(false);
    save_->setEnabled(true);
}

void ReportDialog::append(const std::string& line)
{
    QString text = QString::fromStdString(line);
    if (text.endsWith(QLatin1Char('\n')))
        text.chop(1);
    text_->appendPlainText(text);
}

void ReportDialog::askSelfTest()
{
    PreflightPlan plan;
    const QString question = QString::fromStdString(describePlan(plan)) +
                             QStringLiteral("\n\nMake sure nothing is in the mount's way. Move it now?");
    if (QMessageBox::question(this, QStringLiteral("Self-test"), question) == QMessageBox::Yes)
        start(true);
}

void ReportDialog::askSave()
{
    QFileDialog chooser(this, QStringLiteral("Save the report"),
                        QStringLiteral("merlintest-report-COM%1.txt").arg(port_), QStringLiteral("Text files (*.txt)"));
    chooser.setAcceptMode(QFileDialog::AcceptSave);
    chooser.setOption(QFileDialog::DontUseNativeDialog);
    if (chooser.exec() != QDialog::Accepted || chooser.selectedFiles().isEmpty())
        return;
    const QString path = chooser.selectedFiles().first();
    if (!saveTo(path))
        QMessageBox::warning(this, QStringLiteral("Save the report"), QStringLiteral("Cannot write %1.").arg(path));
}

QString ReportDialog::reportText() const
{
    return QStringLiteral("MerlinTest %1 report of COM%2\n\n").arg(QStringLiteral(MERLINTEST_VERSION)).arg(port_) +
           text_->toPlainText() + QStringLiteral("\n\nFrames and replies:\n") + QString::fromStdString(transcript_);
}

bool ReportDialog::saveTo(const QString& path)
{
    QFile file(path);
    if (!file.open(QIODevice::WriteOnly | QIODevice::Truncate | QIODevice::Text))
        return false;
    const QByteArray bytes = reportText().toUtf8();
    return file.write(bytes) == bytes.size() && file.flush();
}

void runReportDialog(QWidget* owner, unsigned port, ShutterInterface shutter, std::function<void()> releasePort)
{
    ReportDialog report(port, shutter, std::move(releasePort), owner);
    report.start(false);
    report.exec();
}
