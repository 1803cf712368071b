// Hints and self-sizing labels, as behaviour code relabels controls.
#include "form_test_support.h"

#include "forms/form_support.h"

#include <QAction>
#include <QApplication>
#include <QLabel>
#include <QPushButton>
#include <QWidget>

#include <gtest/gtest.h>

namespace {

class FormSupportTest : public ::testing::Test {
protected:
    void SetUp() override { EnsureApplication(); }
};

TEST_F(FormSupportTest, HintsStayStoredAndBecomeToolTipsOnlyWhereShown)
{
    QWidget window;
    QPushButton shown(&window), hidden(&window);
    QAction item(&window);
    SetInitialHint(&shown, QStringLiteral("Close App."), HintShown::Yes);
    SetInitialHint(&hidden, QStringLiteral("Put HDD protect into Background"), HintShown::No);
    SetInitialHint(&item, QStringLiteral("Exit Program"), HintShown::Yes);

    struct Case { QObject *control; const char *hint; const char *tip; };
    // A caption file replaces each hint; the shown/not-shown choice stays.
    SetControlHint(&shown, QStringLiteral("App beenden"));
    SetControlHint(&hidden, QStringLiteral("In den Hintergrund"));
    SetControlHint(&item, QStringLiteral("Programm beenden"));
    for (const Case &c : {Case{&shown, "App beenden", "App beenden"},
                          Case{&hidden, "In den Hintergrund", ""}}) {
        EXPECT_EQ(ControlHint(c.control), QString::fromUtf8(c.hint));
        EXPECT_EQ(static_cast<QWidget *>(c.control)->toolTip(), QString::fromUtf8(c.tip));
    }
    EXPECT_EQ(ControlHint(&item), QStringLiteral("Programm beenden"));
    EXPECT_EQ(item.statusTip(), QStringLiteral("Programm beenden"));
    EXPECT_EQ(item.toolTip(), QStringLiteral("Programm beenden"));
}

TEST_F(FormSupportTest, LabelsGrowToLongerTextKeepingTheirAnchorEdge)
{
    QWidget window;
    window.resize(400, 200);
    QLabel *left = MakeLabel(&window, "Angle_x", {32, 177, 7, 16}, QStringLiteral("X"), {"Arial", 13});
    QLabel *right = ReadingRightToLeft(
        MakeLabel(&window, "lSensHigh", {177, 28, 29, 17}, QStringLiteral("High"), {"Arial", 15}));
    QLabel *fixed = MakeLabel(&window, "DebugTemp1", {44, 50, 20, 23}, QStringLiteral("Debug 1"), {"Arial", 16});
    FixLabelSize(fixed);
    window.show();

    left->setText(QStringLiteral("Andle_X= 12.5  Deg"));
    right->setText(QStringLiteral("Hochempfindlich"));
    fixed->setText(QStringLiteral("a much longer debug text"));
    QApplication::processEvents();

    EXPECT_EQ(left->geometry().topLeft(), QPoint(32, 177));
    EXPECT_GE(left->width(), left->sizeHint().width());
    EXPECT_GT(left->width(), 7);
    EXPECT_EQ(right->geometry().right(), 177 + 29 - 1);
    EXPECT_EQ(right->geometry().top(), 28);
    EXPECT_GE(right->width(), right->sizeHint().width());
    EXPECT_EQ(fixed->geometry(), QRect(44, 50, 20, 23));

    // A short text again: the label keeps at least its layout size.
    left->setText(QStringLiteral("X"));
    QApplication::processEvents();
    EXPECT_GE(left->width(), 7);
    EXPECT_EQ(left->geometry().topLeft(), QPoint(32, 177));
}

TEST_F(FormSupportTest, LabelsChangedWhileHiddenFitWhenShown)
{
    QWidget window;
    QLabel *label = MakeLabel(&window, "lParked", {37, 283, 100, 13}, QStringLiteral("HDD PROTECTED"),
                              {"MS UI Gothic", 13});
    label->setText(QStringLiteral("FESTPLATTE GESCHUETZT UND GEPARKT"));
    window.show();
    QApplication::processEvents();
    EXPECT_GE(label->width(), label->sizeHint().width());
    EXPECT_EQ(label->x(), 37);
}

}  // namespace
