// The main window's form against its layout table: the control tree, the
// frame, what the client area shows, Tab through controls outside it, the
// pop-up menu, the timers and what a screen reader gets.
#include "form_test_support.h"

#include "forms/form_support.h"
#include "forms/main_form.h"
#include "forms/radio_group.h"

#include <QAccessible>
#include <QAction>
#include <QLabel>
#include <QMenu>
#include <QPixmap>
#include <QPushButton>
#include <QRadioButton>
#include <QSlider>
#include <QTimer>
#include <QWidget>

#include <gtest/gtest.h>

#include <memory>

namespace {

class MainFormTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        EnsureApplication();
        window = std::make_unique<QWidget>();
        form = std::make_unique<MainForm>(window.get());
    }
    std::unique_ptr<QWidget> window;
    std::unique_ptr<MainForm> form;
};

// name, kind, parent, geometry, text, face, px, bold, colour, visible, enabled, hint, shown
const std::vector<ControlRow> kMainTable = {
    {"Image2", "QLabel", nullptr, {673, 350, 33, 41}, nullptr, nullptr, 0, false, 0, false, true, "GGGGG", true},
    {"Image1", "QLabel", nullptr, {634, 350, 33, 41}, nullptr, nullptr, 0, false, 0, false, true, "RRRRR", true},
    {"DebugTemp1", "QLabel", nullptr, {44, 493, 105, 23}, "Debug 1", "Arial", 16, false, 0, true, true, nullptr, true},
    {"DebugTemp", "QLabel", nullptr, {180, 496, 60, 18}, "Debug 0", "Arial", 16, false, 0, true, true, nullptr, true},
    {"Shape1", "QFrame", nullptr, {0, -1, 450, 58}, nullptr, nullptr, 0, false, 0, true, true, nullptr, true},
    {"OemLogo", "QLabel", nullptr, {128, 86, 110, 116}, nullptr, nullptr, 0, false, 0, true, true, "", true},
    {"Image_L_R", "QLabel", nullptr, {194, 70, 171, 146}, nullptr, nullptr, 0, false, 0, false, true, "GGGGG", false},
    {"Image3", "QLabel", nullptr, {751, 350, 33, 41}, nullptr, nullptr, 0, false, 0, false, true, "GGGGG", true},
    {"Image4", "QLabel", nullptr, {712, 350, 33, 41}, nullptr, nullptr, 0, false, 0, false, true, "GGGGG", true},
    {"Label8", "QLabel", nullptr, {158, 16, 173, 32}, "TEST Utility", "Verdana", 27, true, kWhite, true, true, nullptr, true},
    {"Image_L_G", "QLabel", nullptr, {222, 78, 149, 101}, nullptr, nullptr, 0, false, 0, false, true, "GGGGG", false},
    {"Image_L_O", "QLabel", nullptr, {199, 78, 166, 106}, nullptr, nullptr, 0, false, 0, false, true, "", true},
    {"Image6", "QLabel", nullptr, {8, 8, 121, 40}, nullptr, nullptr, 0, false, 0, true, true, "", true},
    {"rgOnOff", "RadioGroup", nullptr, {553, 153, 220, 56}, "Settings", "Arial", 19, false, kBlack, true, true, "HDD protection ON/OFF", false},
    {"bHide", "QPushButton", nullptr, {576, 448, 104, 29}, "&OK", "MS UI Gothic", 16, true, 0, true, true, "Put HDD protect into Background", false},
    {"bCancel", "QPushButton", nullptr, {8, 177, 104, 31}, "&Close", "Times New Roman", 16, false, 0, true, true, "Close App.  HDD not protected.", true},
    {"GroupBox1", "QGroupBox", nullptr, {230, 397, 220, 87}, "Sensitivity", "Arial", 19, false, kBlack, true, true, nullptr, true},
    {"lSensLow", "QLabel", "GroupBox1", {16, 28, 32, 17}, "Slow", "Arial", 15, false, 0, true, true, nullptr, true},
    {"lSensHigh", "QLabel", "GroupBox1", {177, 28, 29, 17}, "High", "Arial", 15, false, 0, true, true, nullptr, true},
    {"lSensVal", "QLabel", "GroupBox1", {16, 143, 72, 18}, "Threshold ", "Arial", 16, false, 0, true, true, nullptr, true},
    {"Threshold", "QLabel", "GroupBox1", {219, 7, 18, 18}, "24", "Arial", 16, false, 0, false, true, nullptr, true},
    {"Threshold_mg", "QLabel", "GroupBox1", {111, 3, 30, 23}, "000", "Calibri", 19, false, kMaroon, true, true, nullptr, true},
    {"Label5", "QLabel", "GroupBox1", {91, 28, 41, 17}, "Middle", "Arial", 15, false, 0, true, true, nullptr, true},
    {"Label6", "QLabel", "GroupBox1", {147, 3, 24, 23}, "mg", "Calibri", 19, false, kMaroon, true, true, nullptr, true},
    {"tbSensitivity", "QSlider", "GroupBox1", {16, 51, 190, 33}, nullptr, nullptr, 0, false, 0, true, true, nullptr, true},
    {"bConfig", "QPushButton", nullptr, {693, 415, 189, 33}, "Configuration", "Arial", 16, false, 0, true, true, "Pops Up Configuration Window", true},
    {"GroupBox2", "QGroupBox", nullptr, {64, 293, 369, 98}, "Duration Time", "Arial", 19, false, kBlack, true, true, nullptr, true},
    {"Label1", "QLabel", "GroupBox2", {16, 25, 32, 16}, "Show", "Arial", 13, false, 0, true, true, nullptr, true},
    {"Label2", "QLabel", "GroupBox2", {320, 25, 28, 16}, "Long", "Arial", 13, false, 0, true, true, nullptr, true},
    {"Label3", "QLabel", "GroupBox2", {44, 119, 33, 18}, "Dela", "Arial", 16, false, 0, true, true, nullptr, true},
    {"DLTIME_Lab", "QLabel", "GroupBox2", {218, 28, 18, 18}, "24", "Arial", 16, false, 0, true, true, nullptr, true},
    {"Label4", "QLabel", "GroupBox2", {242, 28, 41, 18}, "Count", "Arial", 16, false, 0, true, true, nullptr, true},
    {"Label7", "QLabel", "GroupBox2", {139, 24, 41, 23}, "mSec", "Calibri", 19, false, kMaroon, true, true, nullptr, true},
    {"DLTIME_ms", "QLabel", "GroupBox2", {94, 26, 30, 23}, "000", "Calibri", 19, false, kMaroon, true, true, nullptr, true},
    {"tbDLTime", "QSlider", "GroupBox2", {20, 52, 270, 34}, nullptr, nullptr, 0, false, 0, true, true, nullptr, true},
    {"Disable", "QPushButton", nullptr, {527, 96, 186, 33}, "Disable", "Calibri", 19, false, 0, true, true, nullptr, true},
    {"Button1", "QPushButton", nullptr, {8, 63, 104, 66}, "&TEST", "Times New Roman", 16, false, 0, true, true, nullptr, true},
    {"Button2", "QPushButton", nullptr, {8, 135, 104, 36}, "&Cancel", "Times New Roman", 16, false, 0, true, false, nullptr, true},
    {"ShowFreeFall", "QCheckBox", nullptr, {17, 254, 171, 33}, "Show FreeFall icon ", "Arial", 17, false, 0, true, true, nullptr, true},
};

TEST_F(MainFormTest, ControlTreeMatchesTheLayoutTable)
{
    CheckControlTable(window.get(), kMainTable,
                      {"PopupMenu1", "mShow", "mToggle", "mShutdown", "ReadXYZ", "Timer1"});
    CheckUniqueNames(window.get());
}

TEST_F(MainFormTest, FrameIsFixedWithCloseBoxOnlyAndHintAdjust)
{
    EXPECT_EQ(window->pos(), QPoint(360, 56));
    EXPECT_EQ(window->size(), QSize(389, 219));
    EXPECT_EQ(window->minimumSize(), window->maximumSize());
    EXPECT_TRUE(window->windowTitle().isEmpty());
    const Qt::WindowFlags flags = window->windowFlags();
    EXPECT_TRUE(flags & Qt::WindowCloseButtonHint);
    EXPECT_TRUE(flags & Qt::WindowSystemMenuHint);
    EXPECT_FALSE(flags & (Qt::WindowMinimizeButtonHint | Qt::WindowMaximizeButtonHint));
    EXPECT_FALSE(flags & Qt::WindowStaysOnTopHint);
    EXPECT_EQ(window->toolTip(), QStringLiteral("Adjust"));
    EXPECT_EQ(window->font().family(), QStringLiteral("Times New Roman"));
    EXPECT_EQ(window->font().pixelSize(), 11);
    EXPECT_TRUE(window->windowIcon().availableSizes().contains(QSize(128, 128)));
}

TEST_F(MainFormTest, ClientAreaShowsBandLogoAndButtonColumnOnly)
{
    EXPECT_EQ(ControlsSeenInClientArea(window.get()),
              QStringList({"Button1", "Button2", "Image6", "Label8", "OemLogo", "Shape1", "bCancel"}));
    // A result picture, once shown, appears at the right.
    form->Image_L_G->show();
    EXPECT_TRUE(ControlsSeenInClientArea(window.get()).contains(QStringLiteral("Image_L_G")));
}

TEST_F(MainFormTest, LaterPicturesAndLabelsLieAboveEarlierOnesButtonsAboveAll)
{
    const QList<QObject *> order = window->children();
    auto stack = [&](QObject *o) { return order.indexOf(o); };
    EXPECT_LT(stack(form->Shape1), stack(form->Label8));     // "TEST Utility" on the band
    EXPECT_LT(stack(form->OemLogo), stack(form->Image_L_R)); // fail picture over the logo
    EXPECT_LT(stack(form->Image6), stack(form->rgOnOff));
    EXPECT_LT(stack(form->Image_L_O), stack(form->Button1));
}

TEST_F(MainFormTest, TabVisitsControlsOutsideTheClientAreaInTabOrder)
{
    // Button2 starts disabled, so Tab passes it by; the radio group is
    // entered at its selected item.
    CheckTabWalk(window.get(), {"bHide", "bCancel", "rgOnOff:Disable", "tbSensitivity", "bConfig",
                                "tbDLTime", "Disable", "Button1", "ShowFreeFall"});
    form->Button2->setEnabled(true);
    CheckTabWalk(window.get(), {"bHide", "bCancel", "rgOnOff:Disable", "tbSensitivity", "bConfig",
                                "tbDLTime", "Disable", "Button1", "Button2", "ShowFreeFall"});
}

TEST_F(MainFormTest, SelectorSlidersMenuAndTimersStartAsLaidOut)
{
    EXPECT_EQ(form->rgOnOff->itemIndex(), 0);
    EXPECT_EQ(form->rgOnOff->itemText(0), QStringLiteral("Disable"));
    EXPECT_EQ(form->rgOnOff->itemText(1), QStringLiteral("Enable"));
    EXPECT_EQ(form->rgOnOff->contextMenuPolicy(), Qt::CustomContextMenu);

    EXPECT_EQ(form->tbSensitivity->minimum(), 1);
    EXPECT_EQ(form->tbSensitivity->maximum(), 30);
    EXPECT_EQ(form->tbSensitivity->value(), 30);
    EXPECT_EQ(form->tbDLTime->minimum(), 0);
    EXPECT_EQ(form->tbDLTime->maximum(), 30);
    EXPECT_EQ(form->tbDLTime->value(), 0);
    for (QSlider *slider : {form->tbSensitivity, form->tbDLTime}) {
        EXPECT_EQ(slider->orientation(), Qt::Horizontal);
        EXPECT_EQ(slider->singleStep(), 1);
    }

    EXPECT_EQ(form->PopupMenu1->actions(), QList<QAction *>({form->mShow, form->mToggle, form->mShutdown}));
    struct Item { QAction *action; const char *text; const char *hint; bool visible; };
    for (const Item &item : {Item{form->mShow, "Show", "Display Main Screen", true},
                             Item{form->mToggle, "Set", "Set protection On/Off", false},
                             Item{form->mShutdown, "Exit", "Exit Program", true}}) {
        SCOPED_TRACE(item.text);
        EXPECT_EQ(item.action->text(), QString::fromLatin1(item.text));
        EXPECT_EQ(ControlHint(item.action), QString::fromLatin1(item.hint));
        EXPECT_EQ(item.action->statusTip(), QString::fromLatin1(item.hint));
        EXPECT_EQ(item.action->isVisible(), item.visible);
        EXPECT_EQ(item.action->parent(), window.get());
    }

    for (QTimer *timer : {form->ReadXYZ, form->Timer1})
        EXPECT_FALSE(timer->isActive()) << qPrintable(timer->objectName());
    EXPECT_EQ(form->ReadXYZ->interval(), 50);
    EXPECT_EQ(form->Timer1->interval(), 300);
}

TEST_F(MainFormTest, PicturesShowTheirArtworkAndTellScreenReadersWhatTheyShow)
{
    struct Picture { QLabel *label; QSize size; const char *name; };
    for (const Picture &p : {Picture{form->Image1, {32, 32}, "Protection on"},
                             Picture{form->Image2, {32, 32}, "Protection off"},
                             Picture{form->Image3, {32, 32}, "Free fall"},
                             Picture{form->Image4, {32, 32}, "Disk protection"},
                             Picture{form->OemLogo, {102, 102}, "Halvorin logo"},
                             Picture{form->Image_L_R, {168, 133}, "Test failed"},
                             Picture{form->Image_L_G, {133, 106}, "Test passed"},
                             Picture{form->Image_L_O, {170, 110}, "Free fall"},
                             Picture{form->Image6, {107, 40}, "Halvorin"}}) {
        SCOPED_TRACE(p.name);
        EXPECT_EQ(p.label->pixmap().size(), p.size);
        EXPECT_EQ(AccessibleName(p.label), QString::fromLatin1(p.name));
        EXPECT_EQ(QAccessible::queryAccessibleInterface(p.label)->role(), QAccessible::Graphic);
        EXPECT_EQ(p.label->alignment(), Qt::AlignLeft | Qt::AlignTop);
    }
}

TEST_F(MainFormTest, EveryControlHasAnAccessibleNameAndSlidersTheirValue)
{
    CheckAccessibleNames(window.get());
    EXPECT_EQ(AccessibleName(form->rgOnOff->button(1)), QStringLiteral("Enable"));
    EXPECT_EQ(AccessibleName(form->bHide), QStringLiteral("OK"));
    QAccessibleInterface *slider = QAccessible::queryAccessibleInterface(form->tbSensitivity);
    ASSERT_NE(slider->valueInterface(), nullptr);
    EXPECT_EQ(slider->valueInterface()->currentValue().toInt(), 30);
    EXPECT_EQ(slider->text(QAccessible::Name), QStringLiteral("Sensitivity"));
}

}  // namespace
