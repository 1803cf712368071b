// The settings dialog's form against its layout table.
#include "form_test_support.h"

#include "forms/config_form.h"
#include "forms/form_support.h"

#include <QAccessible>
#include <QCheckBox>
#include <QDialog>
#include <QLabel>
#include <QLineEdit>
#include <QProgressBar>
#include <QPushButton>
#include <QScrollBar>
#include <QTabBar>
#include <QTabWidget>
#include <QTextEdit>

#include <gtest/gtest.h>

#include <memory>

namespace {

class ConfigFormTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        EnsureApplication();
        dialog = std::make_unique<QDialog>();
        form = std::make_unique<ConfigForm>(dialog.get());
    }
    std::unique_ptr<QDialog> dialog;
    std::unique_ptr<ConfigForm> form;
};

// name, kind, parent, geometry, text, face, px, bold, colour, visible, enabled, hint, shown
const std::vector<ControlRow> kConfigTable = {
    {"APVersion", "QLabel", nullptr, {284, 157, 60, 13}, "BuildNumber", "MS Sans Serif", 7, false, 0, true, true, nullptr, true},
    {"pcSetup", "QTabWidget", nullptr, {8, 71, 371, 346}, nullptr, "Arial", 13, false, 0, true, true, nullptr, true},
    {"lReading", "QLabel", "stStatus", {8, 16, 47, 16}, "Reading", "Arial", 13, false, 0, true, true, nullptr, true},
    {"lEvents", "QLabel", "stStatus", {8, 48, 39, 16}, "Events", "Arial", 13, false, 0, true, true, nullptr, true},
    {"Angle_y", "QLabel", "stStatus", {32, 199, 9, 16}, "Y", "Arial", 13, false, 0, true, true, nullptr, true},
    {"Angle_z", "QLabel", "stStatus", {34, 221, 7, 16}, "Z", "Arial", 13, false, 0, true, true, nullptr, true},
    {"Angle_x", "QLabel", "stStatus", {32, 177, 7, 16}, "X", "Arial", 13, false, 0, true, true, nullptr, true},
    {"eGvalue", "QLineEdit", "stStatus", {88, 13, 249, 21}, "", "MS UI Gothic", 13, false, 0, true, true, "Last data from sensor ", true},
    {"eHDDstatus", "QTextEdit", "stStatus", {88, 40, 249, 105}, "", "MS UI Gothic", 13, false, 0, true, true, "Latest events", true},
    {"AccelBar_X", "QProgressBar", "stStatus", {144, 176, 188, 17}, nullptr, nullptr, 0, false, 0, true, true, nullptr, true},
    {"AccelBar_Y", "QProgressBar", "stStatus", {144, 199, 188, 17}, nullptr, nullptr, 0, false, 0, true, true, nullptr, true},
    {"AccelBar_Z", "QProgressBar", "stStatus", {144, 222, 188, 17}, nullptr, nullptr, 0, false, 0, true, true, nullptr, true},
    {"lProtOff", "QLabel", "stSystem", {16, 93, 146, 16}, "Protection OFF Message", "Arial", 13, false, 0, true, true, nullptr, true},
    {"lProtOn", "QLabel", "stSystem", {16, 17, 139, 16}, "Protection ON Message", "Arial", 13, false, 0, true, true, nullptr, true},
    {"cbOnTray", "QCheckBox", "stSystem", {232, 16, 177, 17}, "Place on Tray", "MS UI Gothic", 13, false, 0, false, true, "Shows ICON on system tray", true},
    {"eOffHint", "QLineEdit", "stSystem", {16, 120, 321, 24}, "Protection OFF", "Arial", 13, false, 0, true, true, "Shown when mouse on the system tray Icon while HDD protect  is OFF", true},
    {"eOnHint", "QLineEdit", "stSystem", {16, 51, 321, 24}, "Protection ON", "Arial", 13, false, 0, true, true, "Shown when mouse on the system tray Icon while HDD protect ON", true},
    {"Label2", "QLabel", "tsAdmin", {216, 32, 48, 13}, "Seconds", "MS UI Gothic", 13, false, 0, true, true, nullptr, true},
    {"bFont", "QPushButton", "tsAdmin", {0, 64, 65, 25}, "Font", "MS UI Gothic", 13, false, 0, true, true, nullptr, true},
    {"cbAutoRecover", "QCheckBox", "tsAdmin", {8, 16, 145, 25}, "AutoRecover in", "MS UI Gothic", 13, false, 0, true, true, nullptr, true},
    {"eRecoverWait", "QLineEdit", "tsAdmin", {168, 24, 41, 24}, "5", "MS Sans Serif", 11, false, 0, true, true, nullptr, true},
    {"bCancel", "QPushButton", nullptr, {217, 17, 72, 33}, "Cancel", "Arial", 13, false, 0, true, true, "Close window without saving parameters", true},
    {"bDone", "QPushButton", nullptr, {305, 17, 74, 33}, "Done", "Arial", 13, false, 0, true, true, "Save parameters and close window", true},
};

TEST_F(ConfigFormTest, ControlTreeMatchesTheLayoutTable)
{
    CheckControlTable(dialog.get(), kConfigTable, {"stStatus", "stSystem", "tsAdmin"});
    CheckUniqueNames(dialog.get());
}

TEST_F(ConfigFormTest, FrameIsAFixedDialogWithCloseBox)
{
    EXPECT_EQ(dialog->windowTitle(), QStringLiteral("Halvorinion Setup"));
    EXPECT_EQ(dialog->pos(), QPoint(402, 307));
    EXPECT_EQ(dialog->size(), QSize(400, 437));
    EXPECT_EQ(dialog->minimumSize(), dialog->maximumSize());
    EXPECT_EQ(dialog->windowType(), Qt::Dialog);
    EXPECT_TRUE(dialog->windowFlags() & Qt::WindowCloseButtonHint);
    EXPECT_FALSE(dialog->windowFlags() & (Qt::WindowStaysOnTopHint | Qt::WindowMaximizeButtonHint));
    EXPECT_EQ(dialog->font().family(), QStringLiteral("MS Sans Serif"));
    EXPECT_EQ(dialog->font().pixelSize(), 11);
}

TEST_F(ConfigFormTest, TabsAreStatusSystemSetupWithSystemSelected)
{
    QTabWidget *tabs = form->pcSetup;
    ASSERT_EQ(tabs->count(), 3);
    struct Tab { QWidget *page; const char *text; const char *hint; };
    const Tab expected[] = {{form->stStatus, "Status", "sensor status"},
                            {form->stSystem, "System Config", ""},
                            {form->tsAdmin, "Setup", ""}};
    for (int i = 0; i < 3; ++i) {
        SCOPED_TRACE(expected[i].text);
        EXPECT_EQ(tabs->widget(i), expected[i].page);
        EXPECT_EQ(tabs->tabText(i), QString::fromLatin1(expected[i].text));
        EXPECT_EQ(ControlHint(expected[i].page), QString::fromLatin1(expected[i].hint));
        EXPECT_EQ(expected[i].page->font().family(), QStringLiteral("Arial"));
    }
    EXPECT_EQ(tabs->currentWidget(), form->stSystem);
    // The build number lies under the tab control.
    const QList<QObject *> stack = dialog->children();
    EXPECT_LT(stack.indexOf(form->APVersion), stack.indexOf(tabs));
    EXPECT_TRUE(tabs->geometry().contains(form->APVersion->geometry()));
}

TEST_F(ConfigFormTest, EditsBarsAndFontChooserStartAsLaidOut)
{
    EXPECT_EQ(form->eOnHint->maxLength(), 32);
    EXPECT_EQ(form->eOffHint->maxLength(), 32);
    EXPECT_TRUE(form->cbOnTray->isChecked());
    EXPECT_TRUE(form->cbAutoRecover->isChecked());
    EXPECT_EQ(form->eHDDstatus->verticalScrollBarPolicy(), Qt::ScrollBarAlwaysOn);
    EXPECT_FALSE(form->eHDDstatus->isReadOnly());
    EXPECT_FALSE(form->eGvalue->isReadOnly());
    for (QProgressBar *bar : {form->AccelBar_X, form->AccelBar_Y, form->AccelBar_Z}) {
        SCOPED_TRACE(qPrintable(bar->objectName()));
        EXPECT_EQ(bar->minimum(), 0);
        EXPECT_EQ(bar->maximum(), 409);
        EXPECT_EQ(bar->value(), 204);
        QAccessibleInterface *face = QAccessible::queryAccessibleInterface(bar);
        ASSERT_NE(face->valueInterface(), nullptr);
        EXPECT_EQ(face->valueInterface()->currentValue().toInt(), 204);
    }
    EXPECT_EQ(AccessibleName(form->AccelBar_Y), QStringLiteral("Y"));
    EXPECT_EQ(form->FontDialog1.family(), QStringLiteral("MS Sans Serif"));
    EXPECT_EQ(form->FontDialog1.pixelSize(), 11);
}

TEST_F(ConfigFormTest, EditsAreNamedByTheirLabelsForScreenReaders)
{
    CheckAccessibleNames(dialog.get());
    EXPECT_EQ(AccessibleName(form->eRecoverWait), QStringLiteral("Seconds"));
    EXPECT_EQ(AccessibleName(form->eGvalue), QStringLiteral("Reading"));
    EXPECT_EQ(AccessibleName(form->eHDDstatus), QStringLiteral("Events"));
    EXPECT_EQ(AccessibleName(form->eOnHint), QStringLiteral("Protection ON Message"));
    EXPECT_EQ(AccessibleName(form->eOffHint), QStringLiteral("Protection OFF Message"));
    // Relabelled from the caption file, the edit takes the new name.
    form->lProtOn->setText(QStringLiteral("Schutz EIN"));
    EXPECT_EQ(AccessibleName(form->eOnHint), QStringLiteral("Schutz EIN"));
}

TEST_F(ConfigFormTest, TabWalksTheSelectedPageThenTheButtons)
{
    // cbOnTray is hidden: Tab passes it by. The event log hands Tab on
    // rather than taking it as text.
    CheckTabWalk(dialog.get(), {"pcSetup", "eOffHint", "eOnHint", "bCancel", "bDone"});
    form->pcSetup->setCurrentWidget(form->stStatus);
    CheckTabWalk(dialog.get(), {"pcSetup", "eGvalue", "eHDDstatus", "bCancel", "bDone"});
}

}  // namespace
