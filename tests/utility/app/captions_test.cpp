// Each window's caption section lands on the controls of its table: a file
// whose n-th entry of every section reads "Cn,Hn" shows which control got
// which entry, which hints were dropped, and that hints keep the layout's
// shown or not-shown setting.
#include <QAction>
#include <QCheckBox>
#include <QGroupBox>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QTabWidget>
#include <QTextEdit>

#include <fstream>

#include "alert_window.h"
#include "app_test_support.h"
#include "config_dialog.h"
#include "forms/alert_form.h"
#include "forms/config_form.h"
#include "forms/form_support.h"
#include "forms/main_form.h"
#include "forms/radio_group.h"
#include "gate_window.h"
#include "main_window.h"

namespace apptest {
namespace {

// Entries "Cn,Hn" for n = 1..count, with comment lines between them.
std::string Section(char digit, int count) {
    std::string text = std::string("%") + digit + " section\r\n[ heading ]\r\n\r\n";
    for (int n = 1; n <= count; ++n) text += "C" + std::to_string(n) + ",H" + std::to_string(n) + "\r\n [comment]\r\n";
    return text;
}

class Captions : public SentrelTest {
protected:
    void BeforeStart() override {
        // The locale's own file wins over the English one the notebook placed.
        std::ofstream(live->DriveC() + "/ProgramData/Halvorin/Sentrel/Captions_1033.txt", std::ios::binary)
            << "before any section\n" << Section('1', 16) << Section('2', 5) << Section('3', 22);
    }
};

struct Row {
    int entry;
    QString caption;  // what the control shows
    QString hint;     // the hint it keeps ("" when the entry's hint is dropped)
};

void ExpectRows(const std::vector<Row>& rows) {
    for (const Row& r : rows) {
        SCOPED_TRACE("entry " + std::to_string(r.entry));
        EXPECT_EQ(r.caption, QStringLiteral("C%1").arg(r.entry));
        if (!r.hint.isNull()) EXPECT_EQ(r.hint, QStringLiteral("H%1").arg(r.entry));
    }
}

TEST_F(Captions, TheMainWindowsFifteenEntriesLandOnTheirControls) {
    MainForm& f = main().form();
    ExpectRows({
        {1, main().windowTitle(), ControlHint(&main())},
        {2, f.rgOnOff->title(), ControlHint(f.rgOnOff)},
        {3, f.rgOnOff->itemText(1), QString()},
        {4, f.rgOnOff->itemText(0), QString()},
        {5, f.GroupBox1->title(), QString()},
        {6, f.lSensVal->text(), QString()},
        {7, f.lSensLow->text(), QString()},
        {8, f.lSensHigh->text(), QString()},
        {9, f.bConfig->text(), QString()},
        {10, f.bCancel->text(), ControlHint(f.bCancel)},
        {11, f.bHide->text(), ControlHint(f.bHide)},
        {12, f.mShow->text(), ControlHint(f.mShow)},
        {13, f.mToggle->text(), ControlHint(f.mToggle)},
        {15, f.mShutdown->text(), ControlHint(f.mShutdown)},
    });
    // Dropped hints leave the layout's; a hint the layout does not show stays unshown.
    EXPECT_EQ(ControlHint(f.bConfig), QStringLiteral("Pops Up Configuration Window"));
    EXPECT_EQ(f.bCancel->toolTip(), QStringLiteral("H10"));
    EXPECT_TRUE(f.bHide->toolTip().isEmpty());
}

TEST_F(Captions, TheAlertWindowReadsFourEntriesAtEveryCreation) {
    AlertForm& f = main().alert()->form();
    ExpectRows({
        {1, main().alert()->windowTitle(), QString()},
        {2, f.lParked->text(), QString()},
        {3, f.lPressbutton->text(), QString()},
        {4, f.bOK->text(), ControlHint(f.bOK)},
    });
    main().form().rgOnOff->setItemIndex(1);
    main().form().rgOnOff->setItemIndex(0);
    ASSERT_GT(main().alertCount(), 1u);
    EXPECT_EQ(main().alert()->form().lPressbutton->text(), QStringLiteral("C3"));
}

TEST_F(Captions, TheSettingsDialogsTwentyOneEntriesLandOnTheirControls) {
    TfConfig* dialog = main().config();
    ConfigForm& f = dialog->form();
    QTabWidget* tabs = f.pcSetup;
    auto tab = [tabs](QWidget* page) { return tabs->tabText(tabs->indexOf(page)); };
    auto tabHint = [tabs](QWidget* page) { return tabs->tabToolTip(tabs->indexOf(page)); };
    ExpectRows({
        {1, dialog->windowTitle(), QString()},
        {2, f.bCancel->text(), ControlHint(f.bCancel)},
        {3, f.bDone->text(), ControlHint(f.bDone)},
        {4, tab(f.stStatus), tabHint(f.stStatus)},
        {6, tab(f.stSystem), tabHint(f.stSystem)},
        {7, tab(f.tsAdmin), tabHint(f.tsAdmin)},
        {8, f.lReading->text(), ControlHint(f.eGvalue)},
        {9, f.lEvents->text(), ControlHint(f.eHDDstatus)},
        {16, f.cbOnTray->text(), ControlHint(f.cbOnTray)},
        {17, f.lProtOn->text(), ControlHint(f.eOnHint)},
        {18, f.lProtOff->text(), ControlHint(f.eOffHint)},
        {19, f.cbAutoRecover->text(), ControlHint(f.cbAutoRecover)},
        {20, f.Label2->text(), QString()},
        {21, f.bFont->text(), ControlHint(f.bFont)},
    });
    EXPECT_EQ(f.APVersion->text(), QStringLiteral("Build:061202"));
}

}  // namespace
}  // namespace apptest
