#include "forms/artwork.h"

#include <QIcon>
#include <QPixmap>
#include <QString>

// The resource object sits in a static library: without this call the
// linker would drop it, since nothing else refers to it.
static void InitArtworkResources()
{
    static const bool done = [] {
        Q_INIT_RESOURCE(artwork);
        return true;
    }();
    (void)done;
}

namespace {

const int kTraySizes[] = {256, 48, 32, 24, 16};

const char *TrayBase(Artwork picture)
{
    switch (picture) {
    case Artwork::Image1: return ":/art/image1_%1.png";
    case Artwork::Image2: return ":/art/image2_%1.png";
    case Artwork::Image3: return ":/art/image3_%1.png";
    case Artwork::Image4: return ":/art/image4_%1.png";
    default: return nullptr;
    }
}

QString SingleFile(Artwork picture)
{
    switch (picture) {
    case Artwork::WindowIcon: return QStringLiteral(":/art/window_icon.png");
    case Artwork::OemLogo: return QStringLiteral(":/art/oem_logo.png");
    case Artwork::TestFailed: return QStringLiteral(":/art/test_failed.png");
    case Artwork::TestPassed: return QStringLiteral(":/art/test_passed.png");
    case Artwork::FreeFall: return QStringLiteral(":/art/free_fall.png");
    case Artwork::HeaderLogo: return QStringLiteral(":/art/header_logo.bmp");
    case Artwork::AlertBitmap: return QStringLiteral(":/art/alert_free_fall.bmp");
    default: return QString();
    }
}

}  // namespace

QIcon ArtworkIcon(Artwork picture)
{
    InitArtworkResources();
    QIcon icon;
    if (const char *base = TrayBase(picture)) {
        for (int size : kTraySizes)
            icon.addFile(QString::fromLatin1(base).arg(size), QSize(size, size));
    } else {
        icon.addFile(SingleFile(picture));
    }
    return icon;
}

QPixmap ArtworkPixmap(Artwork picture)
{
    InitArtworkResources();
    if (const char *base = TrayBase(picture))
        return QPixmap(QString::fromLatin1(base).arg(32));
    return QPixmap(SingleFile(picture));
}

QString ArtworkDescription(Artwork picture)
{
    switch (picture) {
    case Artwork::WindowIcon: return QStringLiteral("Sentrel");
    case Artwork::Image1: return QStringLiteral("Protection on");
    case Artwork::Image2: return QStringLiteral("Protection off");
    case Artwork::Image3: return QStringLiteral("Free fall");
    case Artwork::Image4: return QStringLiteral("Disk protection");
    case Artwork::OemLogo: return QStringLiteral("Halvorin logo");
    case Artwork::TestFailed: return QStringLiteral("Test failed");
    case Artwork::TestPassed: return QStringLiteral("Test passed");
    case Artwork::FreeFall: return QStringLiteral("Free fall");
    case Artwork::HeaderLogo: return QStringLiteral("Halvorin");
    case Artwork::AlertBitmap: return QStringLiteral("Free fall");
    }
    return QString();
}
