// The QC static test against the live notebook, as a user runs it: "&TEST",
// then real drops of the notebook (`notebook ctl drop 0.5`), each fall
// followed by its release and the recovery delay.
#include <QLabel>
#include <QPushButton>

#include "alert_window.h"
#include "app_test_support.h"
#include "config_dialog.h"
#include "forms/config_form.h"

#include <QTextEdit>
#include "gate_window.h"
#include "forms/main_form.h"
#include "main_window.h"
#include "forms/radio_group.h"



namespace apptest {
namespace {

class QcTest : public SentrelTest {
protected:
    // One drop: its fall is counted and its recovery has expired.
    void Drop() {
        const int before = main().fallCount();
        ASSERT_EQ(live->notebook().Ctl({"drop", "0.5"}).exitCode, 0);
        ASSERT_TRUE(PumpUntil([&] { return main().fallCount() > before; }, 15000)) << "no fall seen";
        ASSERT_TRUE(PumpUntil([this] { return main().form().Image_L_O->isHidden(); }, 15000)) << "no recovery";
    }
    void StartTest() {
        const std::size_t mark = Mark();
        main().form().Button1->click();
        ASSERT_EQ(After(mark, 5), (std::vector<unsigned>{102, 106, 203, 111, 111}));
        // The selector is not moved.
        EXPECT_EQ(main().form().rgOnOff->itemIndex(), 0);
    }
    QString Log() const { return main().config()->form().eHDDstatus->toPlainText(); }
};

TEST_F(QcTest, FourDropsPassTheTestAndSwitchProtectionOff) {
    StartTest();
    const std::size_t mark = Mark();
    for (int drop = 0; drop < 4 && main().form().Image_L_G->isHidden(); ++drop) Drop();
    ASSERT_FALSE(main().form().Image_L_G->isHidden()) << "falls: " << main().fallCount();
    EXPECT_GE(main().fallCount(), 4);
    EXPECT_TRUE(main().form().Image_L_R->isHidden());
    EXPECT_TRUE(main().form().Button1->isEnabled());
    EXPECT_FALSE(main().form().Button2->isEnabled());
    EXPECT_TRUE(main().form().bCancel->isEnabled());
    EXPECT_EQ(live->Report(), "G-sensor QC Static Tested Report\r\n================================\r\n-----Pass");
    const std::vector<unsigned> sent = live->CommandsAfter(mark, 5);
    ASSERT_GE(sent.size(), 5u);
    EXPECT_EQ(std::vector<unsigned>(sent.end() - 5, sent.end()), (std::vector<unsigned>{102, 106, 204, 111, 111}));
    // Falls with the selector on "Disable" are still logged.
    EXPECT_GE(Log().count(QStringLiteral("Free Fall @")), 1);
    EXPECT_GE(Log().count(QStringLiteral("Release @")), 1);
}

TEST_F(QcTest, CancelAfterTwoFallsFailsTheTest) {
    StartTest();
    Drop();
    if (main().fallCount() < 2) Drop();
    ASSERT_TRUE(main().form().Button2->isEnabled());
    const std::size_t mark = Mark();
    main().form().Button2->click();
    EXPECT_EQ(After(mark, 5), (std::vector<unsigned>{102, 106, 204, 111, 111}));
    EXPECT_EQ(main().fallCount(), 0);
    EXPECT_FALSE(main().form().Image_L_R->isHidden());
    EXPECT_TRUE(main().form().Image_L_G->isHidden());
    EXPECT_TRUE(main().form().Button1->isEnabled());
    EXPECT_FALSE(main().form().Button2->isEnabled());
    EXPECT_TRUE(main().form().bCancel->isEnabled());
    EXPECT_EQ(live->Report(), "G-sensor QC Static Tested Report\r\n================================\r\n-----Fail");
}

}  // namespace
}  // namespace apptest
