// The real Qt About box, offscreen, opened from the main dialog's "About..."
// (with a recording engine): its look, the link's click and double-click, the
// ways it closes, and the main dialog as it was afterwards.
#include <gtest/gtest.h>

#include <QComboBox>
#include <QDesktopServices>
#include <QLabel>
#include <QMouseEvent>
#include <QPushButton>
#include <QRadioButton>
#include <vector>

#include "app/app_model.h"
#include "resources/resource_ids.h"
#include "tests/qt/qt_driver.h"
#include "tests/support/recorders.h"
#include "ui/dlg_merlin_test.h"
#include "ui/qt/about_dialog.h"
#include "ui/qt/main_dialog.h"

namespace {

std::vector<std::string> siteOpens;

bool countSiteOpen(const QUrl& address)
{
    siteOpens.push_back(address.toString().toStdString());
    return true;
}

class QtAboutBoxTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        siteOpens.clear();
        openSite = countSiteOpen;
        controller = new DlgMerlinTest(nullptr, &engine, &model);
        dialog = new QtMainDialog(controller, nullptr);
        dialog->show();
        ASSERT_TRUE(QTest::qWaitForWindowExposed(dialog));
    }

    void TearDown() override
    {
        delete dialog;
        delete controller;
        openSite = QDesktopServices::openUrl;
    }

    // Clicks "About..." and runs `work` inside the box's loop; returns once
    // the box has closed.
    void withAboutBox(std::function<void(QWidget*)> work)
    {
        bool ran = false;
        whenModalOpens([&](QWidget* box) {
            ran = true;
            work(box);
        });
        QTest::mouseClick(templateControl(dialog, IDC_ABOUT), Qt::LeftButton);
        EXPECT_TRUE(ran) << "no About box opened";
        EXPECT_EQ(QApplication::activeModalWidget(), nullptr) << "the box is still open";
    }

    AppModel model;
    RecordingTelescopeControl engine;
    DlgMerlinTest* controller = nullptr;
    QtMainDialog* dialog = nullptr;
};

// Its look, and the link: a click opens the site once and leaves the box
// open; a double-click (press, release, double-click, release) opens it once.
TEST_F(QtAboutBoxTest, LooksLikeTheTemplateAndALinkClickOpensTheSiteOnce)
{
    withAboutBox([&](QWidget* box) {
        EXPECT_EQ(box->parentWidget(), dialog);
        QLabel* title = controlOf<QLabel>(box, IDC_ABOUT_TITLE);
        QLabel* credit = controlOf<QLabel>(box, IDC_ABOUT_CREDIT);
        QLabel* link = controlOf<QLabel>(box, IDC_ABOUT_LINK);
        ASSERT_TRUE(title && credit && link && controlOf<QLabel>(box, IDC_ABOUT_DESCRIPTION));
        EXPECT_TRUE(title->font().bold());
        EXPECT_LE(QFontMetrics(title->font()).height(), 16 * dialogDpi() / 96.0);
        EXPECT_GT(QFontMetrics(title->font()).height(), QFontMetrics(credit->font()).height());
        EXPECT_EQ(text(link->text()), kSiteAddress);
        EXPECT_TRUE(link->font().underline());
        EXPECT_EQ(link->palette().color(QPalette::WindowText), box->palette().color(QPalette::Link));
        EXPECT_FALSE(link->autoFillBackground());
        EXPECT_EQ(link->cursor().shape(), Qt::PointingHandCursor);
        // Below the template, the user guide's place, whole and clear of
        // the controls.
        QLabel* guide = box->findChild<QLabel*>(QStringLiteral("guide"));
        ASSERT_NE(guide, nullptr);
        EXPECT_EQ(text(guide->text()), kGuideLineText);
        EXPECT_TRUE(box->rect().contains(guide->geometry()));
        for (const QString& line : guide->text().split(QLatin1Char('\n')))
            EXPECT_LE(guide->fontMetrics().horizontalAdvance(line), guide->width()) << text(line);
        EXPECT_LE(2 * guide->fontMetrics().height(), guide->height());
        for (int id : {IDC_ABOUT_TITLE, IDC_ABOUT_DESCRIPTION, IDC_ABOUT_CREDIT, IDC_ABOUT_LINK, IDC_ABOUT_EXIT})
            EXPECT_FALSE(templateControl(box, id)->geometry().intersects(guide->geometry())) << id;
        // The box's own focus (offscreen windows need not become active).
        EXPECT_EQ(box->focusWidget(), templateControl(box, IDC_ABOUT_EXIT));

        QTest::mouseClick(link, Qt::LeftButton);
        EXPECT_EQ(siteOpens, std::vector<std::string>{kSiteAddress});
        EXPECT_TRUE(box->isVisible()) << "the box stays open";
        const QPoint middle = link->rect().center();
        QTest::mousePress(link, Qt::LeftButton, Qt::NoModifier, middle);
        QTest::mouseRelease(link, Qt::LeftButton, Qt::NoModifier, middle);
        QMouseEvent second(QEvent::MouseButtonDblClick, QPointF(middle), QPointF(link->mapToGlobal(middle)),
                           Qt::LeftButton, Qt::LeftButton, Qt::NoModifier);
        QApplication::sendEvent(link, &second);
        QTest::mouseRelease(link, Qt::LeftButton, Qt::NoModifier, middle);
        EXPECT_EQ(siteOpens.size(), 2u);
        QTest::mouseClick(templateControl(box, IDC_ABOUT_EXIT), Qt::LeftButton);
    });
}

TEST_F(QtAboutBoxTest, ExitEscEnterAndTheCloseBoxCloseItAndTheMainDialogIsAsItWas)
{
    QTest::mouseClick(templateControl(dialog, IDC_KIND_ADAPTER_V2), Qt::LeftButton);
    controlOf<QComboBox>(dialog, IDC_PORT_LIST)->setCurrentIndex(4);
    QTest::keyClicks(templateControl(dialog, IDC_TIMER_VALUE), QStringLiteral("500"));
    engine.clear();
    int results = 0;
    const std::vector<std::function<void(QWidget*)>> closes = {
        [](QWidget* box) { QTest::mouseClick(templateControl(box, IDC_ABOUT_EXIT), Qt::LeftButton); },
        [](QWidget* box) { QTest::keyClick(box, Qt::Key_Escape); },
        [](QWidget* box) { QTest::keyClick(templateControl(box, IDC_ABOUT_EXIT), Qt::Key_Return); },
        [](QWidget* box) { box->close(); },
    };
    for (const auto& close : closes) {
        withAboutBox([&](QWidget* box) {
            QObject::connect(qobject_cast<QDialog*>(box), &QDialog::finished, [&](int result) { results += result; });
            close(box);
        });
    }
    EXPECT_EQ(results, 4) << "each way ends the box with 1";
    EXPECT_EQ(engine.calls(), std::vector<std::string>{});
    EXPECT_EQ(controlOf<QComboBox>(dialog, IDC_PORT_LIST)->currentIndex(), 4);
    EXPECT_TRUE(controlOf<QRadioButton>(dialog, IDC_KIND_ADAPTER_V2)->isChecked());
    EXPECT_EQ(fieldText(dialog, IDC_TIMER_VALUE), "500");
}

}  // namespace
