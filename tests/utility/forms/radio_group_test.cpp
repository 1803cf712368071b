// RadioGroup: one itemIndexChanged per change, whoever makes it.
#include "form_test_support.h"

#include "forms/radio_group.h"

#include <QFont>
#include <QRadioButton>

#include <gtest/gtest.h>

namespace {

class RadioGroupTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        EnsureApplication();
        group = std::make_unique<RadioGroup>(QStringLiteral("Settings"),
                                             QStringList{QStringLiteral("Disable"), QStringLiteral("Enable")}, 2,
                                             nullptr);
        group->resize(220, 56);
        QObject::connect(group.get(), &RadioGroup::itemIndexChanged, [this](int index) { heard.push_back(index); });
    }
    std::unique_ptr<RadioGroup> group;
    std::vector<int> heard;
};

TEST_F(RadioGroupTest, StartsWithNothingSelected)
{
    EXPECT_EQ(group->itemIndex(), -1);
    EXPECT_EQ(group->count(), 2);
    EXPECT_FALSE(group->button(0)->isChecked());
    EXPECT_FALSE(group->button(1)->isChecked());
}

TEST_F(RadioGroupTest, SettingAnIndexEmitsOnceAndTheSameIndexNothing)
{
    struct Step { int set; int index; std::vector<int> heard; };
    const Step steps[] = {
        {1, 1, {1}},
        {1, 1, {1}},          // unchanged: silent
        {0, 0, {1, 0}},
        {5, 0, {1, 0}},       // outside the items: ignored
        {-2, 0, {1, 0}},
        {-1, -1, {1, 0, -1}}, // cleared
        {-1, -1, {1, 0, -1}},
        {1, 1, {1, 0, -1, 1}},
    };
    for (const Step &step : steps) {
        group->setItemIndex(step.set);
        EXPECT_EQ(group->itemIndex(), step.index) << "after setting " << step.set;
        EXPECT_EQ(heard, step.heard) << "after setting " << step.set;
        for (int i = 0; i < group->count(); ++i)
            EXPECT_EQ(group->button(i)->isChecked(), i == step.index);
    }
}

TEST_F(RadioGroupTest, ClickingAnItemSelectsItAndEmitsOnce)
{
    group->setItemIndex(0);
    heard.clear();
    group->button(1)->click();
    EXPECT_EQ(group->itemIndex(), 1);
    EXPECT_EQ(heard, std::vector<int>{1});
    group->button(1)->click();  // already selected
    EXPECT_EQ(heard, std::vector<int>{1});
    EXPECT_FALSE(group->button(0)->isChecked());
}

TEST_F(RadioGroupTest, ItemsSitInColumnsBelowTheTitleAndCanBeRelabelled)
{
    group->show();  // a hidden widget hears of its size when shown
    const QRect first = group->button(0)->geometry();
    const QRect second = group->button(1)->geometry();
    EXPECT_EQ(first.top(), second.top());
    EXPECT_EQ(first.width(), second.width());
    EXPECT_LT(first.right(), second.left());
    EXPECT_GT(first.top(), 0);
    EXPECT_LE(second.right(), group->width());
    EXPECT_LE(first.bottom(), group->height());

    // A taller title font pushes the row down.
    QFont big = group->font();
    big.setPixelSize(30);
    group->setFont(big);
    EXPECT_GT(group->button(0)->geometry().top(), first.top());

    group->setItemText(1, QStringLiteral("Ein"));
    EXPECT_EQ(group->itemText(1), QStringLiteral("Ein"));
    EXPECT_EQ(group->button(1)->text(), QStringLiteral("Ein"));
    group->setItemText(7, QStringLiteral("nowhere"));
    EXPECT_EQ(group->itemText(7), QString());
}

}  // namespace
