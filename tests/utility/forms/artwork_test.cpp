// The pictures: every one at its size, the tray icons at every tray size and
// clearly apart even at 16 x 16.
#include "form_test_support.h"

#include "forms/artwork.h"

#include <QIcon>
#include <QImage>
#include <QPixmap>

#include <gtest/gtest.h>

#include <cstdlib>

namespace {

class ArtworkTest : public ::testing::Test {
protected:
    void SetUp() override { EnsureApplication(); }
};

TEST_F(ArtworkTest, EveryPictureHasItsSizeAndDepth)
{
    struct Case { Artwork picture; QSize size; bool alpha; const char *description; };
    const Case cases[] = {
        {Artwork::WindowIcon, {128, 128}, true, "Sentrel"},
        {Artwork::Image1, {32, 32}, true, "Protection on"},
        {Artwork::Image2, {32, 32}, true, "Protection off"},
        {Artwork::Image3, {32, 32}, true, "Free fall"},
        {Artwork::Image4, {32, 32}, true, "Disk protection"},
        {Artwork::OemLogo, {102, 102}, true, "Halvorin logo"},
        {Artwork::TestFailed, {168, 133}, true, "Test failed"},
        {Artwork::TestPassed, {133, 106}, true, "Test passed"},
        {Artwork::FreeFall, {170, 110}, true, "Free fall"},
        {Artwork::HeaderLogo, {107, 40}, false, "Halvorin"},
        {Artwork::AlertBitmap, {200, 170}, false, "Free fall"},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.description);
        const QPixmap pixmap = ArtworkPixmap(c.picture);
        ASSERT_FALSE(pixmap.isNull());
        EXPECT_EQ(pixmap.size(), c.size);
        EXPECT_EQ(pixmap.hasAlphaChannel(), c.alpha);
        EXPECT_EQ(ArtworkDescription(c.picture), QString::fromLatin1(c.description));
    }
}

TEST_F(ArtworkTest, TrayIconsCarryEveryTraySize)
{
    for (Artwork tray : {Artwork::Image1, Artwork::Image2, Artwork::Image3, Artwork::Image4}) {
        const QIcon icon = ArtworkIcon(tray);
        const QList<QSize> sizes = icon.availableSizes();
        for (int side : {256, 48, 32, 24, 16}) {
            EXPECT_TRUE(sizes.contains(QSize(side, side))) << side;
            EXPECT_EQ(icon.pixmap(QSize(side, side)).size(), QSize(side, side));
        }
    }
}

// Mean difference per channel of two 16 x 16 icons, 0..255.
double MeanDifference(const QImage &a, const QImage &b)
{
    long total = 0;
    for (int y = 0; y < 16; ++y) {
        for (int x = 0; x < 16; ++x) {
            const QRgb p = a.pixel(x, y);
            const QRgb q = b.pixel(x, y);
            total += std::abs(qRed(p) - qRed(q)) + std::abs(qGreen(p) - qGreen(q)) +
                     std::abs(qBlue(p) - qBlue(q)) + std::abs(qAlpha(p) - qAlpha(q));
        }
    }
    return total / (16.0 * 16.0 * 4.0);
}

TEST_F(ArtworkTest, OnOffAndFallIconsDifferClearlyAtSixteenPixels)
{
    const Artwork trays[] = {Artwork::Image1, Artwork::Image2, Artwork::Image3, Artwork::Image4};
    QImage small[4];
    for (int i = 0; i < 4; ++i)
        small[i] = ArtworkIcon(trays[i]).pixmap(QSize(16, 16)).toImage().convertToFormat(QImage::Format_ARGB32);
    for (int i = 0; i < 4; ++i) {
        for (int j = i + 1; j < 4; ++j)
            EXPECT_GT(MeanDifference(small[i], small[j]), 40.0) << "icons " << i + 1 << " and " << j + 1;
    }
}

}  // namespace
