// The gate window and the alert window: frames, controls and timers.
#include "form_test_support.h"

#include "forms/alert_form.h"
#include "forms/form_support.h"
#include "forms/gate_form.h"

#include <QApplication>
#include <QLabel>
#include <QPushButton>
#include <QTimer>
#include <QWidget>

#include <gtest/gtest.h>

namespace {

class WindowFormTest : public ::testing::Test {
protected:
    void SetUp() override { EnsureApplication(); }
};

// No title-bar buttons at all, fixed size, on top.
void ExpectBareFrameOnTop(QWidget *window)
{
    const Qt::WindowFlags flags = window->windowFlags();
    EXPECT_TRUE(flags & Qt::CustomizeWindowHint);
    EXPECT_FALSE(flags & (Qt::WindowSystemMenuHint | Qt::WindowCloseButtonHint |
                          Qt::WindowMinimizeButtonHint | Qt::WindowMaximizeButtonHint));
    EXPECT_TRUE(flags & Qt::WindowStaysOnTopHint);
    EXPECT_EQ(window->minimumSize(), window->maximumSize());
}

TEST_F(WindowFormTest, GateIsAnEmptyOnTopWindowWithAStoppedOneShotTimer)
{
    QWidget window;
    GateForm form(&window);
    EXPECT_EQ(window.windowTitle(), QStringLiteral("Informaiton"));
    EXPECT_EQ(window.pos(), QPoint(293, 269));
    EXPECT_EQ(window.size(), QSize(314, 246));
    ExpectBareFrameOnTop(&window);
    EXPECT_EQ(window.font().family(), QStringLiteral("Tahoma"));
    EXPECT_EQ(window.font().pixelSize(), 11);
    EXPECT_TRUE(window.findChildren<QWidget *>().isEmpty());
    CheckControlTable(&window, {}, {"Timer1"});
    EXPECT_EQ(form.Timer1->interval(), 2000);
    EXPECT_TRUE(form.Timer1->isSingleShot());
    EXPECT_FALSE(form.Timer1->isActive());
}

// name, kind, parent, geometry, text, face, px, bold, colour, visible, enabled, hint, shown
const std::vector<ControlRow> kAlertTable = {
    {"lParked", "QLabel", nullptr, {37, 283, 100, 13}, "HDD PROTECTED", "MS UI Gothic", 13, false, 0, true, true, nullptr, true},
    {"lPressbutton", "QLabel", nullptr, {72, 283, 175, 13}, "Press OK when you feel is safe", "MS UI Gothic", 13, false, 0, true, true, nullptr, true},
    {"Image1", "QLabel", nullptr, {-4, 1, 201, 169}, nullptr, nullptr, 0, false, 0, true, true, nullptr, true},
    {"bOK", "QPushButton", nullptr, {56, 252, 65, 25}, "OK", "MS UI Gothic", 13, false, 0, true, true, "", true},
};

TEST_F(WindowFormTest, AlertHoldsItsTextsBelowTheClientAreaAndOnlyThePictureInIt)
{
    QWidget window;
    const QFont defaultFont = window.font();
    AlertForm form(&window);
    EXPECT_EQ(window.windowTitle(), QStringLiteral("Free Fall Detected"));
    EXPECT_EQ(window.pos(), QPoint(750, 346));
    EXPECT_EQ(window.size(), QSize(193, 170));
    ExpectBareFrameOnTop(&window);
    EXPECT_EQ(window.font(), defaultFont);
    CheckControlTable(&window, kAlertTable, {"Timer1"});
    CheckUniqueNames(&window);
    EXPECT_EQ(ControlsSeenInClientArea(&window), QStringList({"Image1"}));

    EXPECT_EQ(form.bOK->minimumSize(), QSize(65, 25));
    EXPECT_EQ(form.bOK->maximumSize(), QSize(65, 25));
    for (QLabel *label : {form.lParked, form.lPressbutton})
        EXPECT_EQ(label->alignment() & Qt::AlignHorizontal_Mask, Qt::AlignHCenter);
    EXPECT_EQ(form.Image1->pixmap().size(), QSize(200, 170));
    EXPECT_FALSE(form.Image1->pixmap().hasAlphaChannel());
    EXPECT_EQ(AccessibleName(form.Image1), QStringLiteral("Free fall"));
    CheckAccessibleNames(&window);
    EXPECT_EQ(form.Timer1->interval(), 1500);
    EXPECT_FALSE(form.Timer1->isActive());
    EXPECT_FALSE(form.Timer1->isSingleShot());
}

TEST_F(WindowFormTest, AlertButtonBelowTheClientAreaTakesTheFocus)
{
    QWidget window;
    AlertForm form(&window);
    CheckTabWalk(&window, {"bOK"});
    window.show();
    QApplication::setActiveWindow(&window);
    form.bOK->setFocus();
    EXPECT_EQ(QApplication::focusWidget(), form.bOK);
}

}  // namespace
