// Draws every picture of Sentrel's windows with QPainter and writes them as
// files into the directory given on the command line (utility/forms/art).
//
// Everything is drawn from code, so anyone can regenerate or change the
// artwork: tools/dev/make-artwork.sh builds this program and runs it. The
// pictures are our own: an abstract "Halvorin" mark (a disk platter held by
// two arcs), tray icons whose colour and shape differ for on, off and fall,
// and the result pictures of the quality-control test.
//
// Output:
//   window_icon.png            128 x 128, the main window's icon
//   image1_<n>.png .. image4_<n>.png  n = 256, 48, 32, 24, 16: the tray icons
//   oem_logo.png               102 x 102
//   test_failed.png            168 x 133
//   test_passed.png            133 x 106
//   free_fall.png              170 x 110
//   header_logo.bmp            107 x 40, 24 bits per pixel
//   alert_free_fall.bmp        200 x 170, 24 bits per pixel
//
// Some pictures are larger than the control that shows them (the pass
// picture is 5 pixels taller than its 101-pixel control, the fall picture 4
// pixels wider and taller, the alert bitmap's control starts 4 pixels left of
// the window); the drawing keeps those margins empty.

#include <QColor>
#include <QDir>
#include <QFont>
#include <QGuiApplication>
#include <QImage>
#include <QPainter>
#include <QPainterPath>
#include <QPen>
#include <QPolygonF>
#include <QString>

#include <cmath>
#include <cstdio>

namespace {

const QColor kInk(0x1f, 0x2a, 0x36);
const QColor kSteel(0x5b, 0x6b, 0x7c);
const QColor kPlatter(0xc9, 0xd3, 0xdd);
const QColor kGreen(0x1e, 0x9e, 0x4a);
const QColor kRed(0xd0, 0x2b, 0x2b);
const QColor kAmber(0xf2, 0x9a, 0x0e);
const QColor kBlue(0x2d, 0x6c, 0xc0);
const QColor kGrey(0x8a, 0x93, 0x9c);

QImage NewImage(int width, int height)
{
    QImage image(width, height, QImage::Format_ARGB32_Premultiplied);
    image.fill(Qt::transparent);
    return image;
}

void Begin(QPainter &painter)
{
    painter.setRenderHint(QPainter::Antialiasing, true);
    painter.setRenderHint(QPainter::TextAntialiasing, true);
}

QFont ArtFont(double pixelSize, bool bold)
{
    QFont font(QStringLiteral("DejaVu Sans"));
    font.setPixelSize(qMax(1, qRound(pixelSize)));
    font.setBold(bold);
    return font;
}

// A disk platter seen from above: outer disc, a ring of tracks and the hub.
void DrawPlatter(QPainter &painter, QPointF centre, double radius)
{
    painter.setPen(QPen(kInk, qMax(1.0, radius * 0.08)));
    painter.setBrush(kPlatter);
    painter.drawEllipse(centre, radius, radius);
    painter.setPen(QPen(kSteel, qMax(0.75, radius * 0.04)));
    painter.setBrush(Qt::NoBrush);
    painter.drawEllipse(centre, radius * 0.68, radius * 0.68);
    painter.setPen(Qt::NoPen);
    painter.setBrush(kInk);
    painter.drawEllipse(centre, radius * 0.22, radius * 0.22);
}

// The Halvorin mark: a platter held between two thick arcs, like hands.
void DrawMark(QPainter &painter, QRectF box, const QColor &arcs)
{
    const QPointF centre = box.center();
    const double radius = qMin(box.width(), box.height()) / 2.0;
    QPen pen(arcs, radius * 0.16, Qt::SolidLine, Qt::RoundCap);
    painter.setPen(pen);
    painter.setBrush(Qt::NoBrush);
    const QRectF ring(centre.x() - radius * 0.88, centre.y() - radius * 0.88,
                      radius * 1.76, radius * 1.76);
    painter.drawArc(ring, 110 * 16, 140 * 16);
    painter.drawArc(ring, -70 * 16, 140 * 16);
    DrawPlatter(painter, centre, radius * 0.56);
}

// A shield outline filling the box, the tray icons' common shape.
QPainterPath ShieldPath(QRectF box)
{
    const double w = box.width();
    const double h = box.height();
    const double x = box.left();
    const double y = box.top();
    QPainterPath path;
    path.moveTo(x + w * 0.5, y);
    path.lineTo(x + w, y + h * 0.14);
    path.cubicTo(x + w, y + h * 0.62, x + w * 0.78, y + h * 0.86, x + w * 0.5, y + h);
    path.cubicTo(x + w * 0.22, y + h * 0.86, x, y + h * 0.62, x, y + h * 0.14);
    path.closeSubpath();
    return path;
}

void DrawCheck(QPainter &painter, QRectF box, const QColor &colour, double width)
{
    QPen pen(colour, width, Qt::SolidLine, Qt::RoundCap, Qt::RoundJoin);
    painter.setPen(pen);
    painter.setBrush(Qt::NoBrush);
    QPolygonF tick;
    tick << QPointF(box.left() + box.width() * 0.18, box.top() + box.height() * 0.52)
         << QPointF(box.left() + box.width() * 0.42, box.top() + box.height() * 0.76)
         << QPointF(box.left() + box.width() * 0.84, box.top() + box.height() * 0.26);
    painter.drawPolyline(tick);
}

void DrawCross(QPainter &painter, QRectF box, const QColor &colour, double width)
{
    QPen pen(colour, width, Qt::SolidLine, Qt::RoundCap);
    painter.setPen(pen);
    const QRectF inner = box.adjusted(box.width() * 0.22, box.height() * 0.22,
                                      -box.width() * 0.22, -box.height() * 0.22);
    painter.drawLine(inner.topLeft(), inner.bottomRight());
    painter.drawLine(inner.topRight(), inner.bottomLeft());
}

// A down arrow with a bar under it: "falling".
void DrawFallArrow(QPainter &painter, QRectF box, const QColor &colour)
{
    const double w = box.width();
    const double h = box.height();
    painter.setPen(Qt::NoPen);
    painter.setBrush(colour);
    QPolygonF arrow;
    arrow << QPointF(box.left() + w * 0.36, box.top())
          << QPointF(box.left() + w * 0.64, box.top())
          << QPointF(box.left() + w * 0.64, box.top() + h * 0.42)
          << QPointF(box.left() + w * 0.92, box.top() + h * 0.42)
          << QPointF(box.left() + w * 0.5, box.top() + h * 0.84)
          << QPointF(box.left() + w * 0.08, box.top() + h * 0.42)
          << QPointF(box.left() + w * 0.36, box.top() + h * 0.42);
    painter.drawPolygon(arrow);
    painter.drawRect(QRectF(box.left() + w * 0.1, box.top() + h * 0.9, w * 0.8, h * 0.1));
}

enum class Tray { On, Off, Fall, Plain };

// Tray icons: on = green shield with a tick, off = grey disc under a red
// "no" sign, fall = amber triangle with a down arrow, plain = blue platter. Each
// differs in colour and outline, so they stay apart at 16 x 16.
QImage TrayIcon(Tray kind, int size)
{
    QImage image = NewImage(size, size);
    QPainter painter(&image);
    Begin(painter);
    const double s = size;
    const double edge = qMax(1.0, s / 16.0);
    const QRectF box(edge * 0.5, edge * 0.5, s - edge, s - edge);
    switch (kind) {
    case Tray::On:
        painter.setPen(QPen(kInk, edge));
        painter.setBrush(kGreen);
        painter.drawPath(ShieldPath(box));
        DrawCheck(painter, box.adjusted(s * 0.12, s * 0.14, -s * 0.12, -s * 0.1), Qt::white, s * 0.14);
        break;
    case Tray::Off: {
        // A grey platter under a red "no" sign.
        painter.setPen(QPen(kInk, edge));
        painter.setBrush(kGrey);
        painter.drawEllipse(box);
        painter.setPen(Qt::NoPen);
        painter.setBrush(kInk);
        painter.drawEllipse(QPointF(s / 2.0, s / 2.0), s * 0.1, s * 0.1);
        const double inset = s * 0.07;
        painter.setPen(QPen(kRed, s * 0.13));
        painter.setBrush(Qt::NoBrush);
        painter.drawEllipse(box.adjusted(inset, inset, -inset, -inset));
        painter.drawLine(QPointF(s * 0.25, s * 0.25), QPointF(s * 0.75, s * 0.75));
        break;
    }
    case Tray::Fall: {
        QPolygonF triangle;
        triangle << QPointF(s * 0.5, box.top()) << QPointF(box.right(), box.bottom())
                 << QPointF(box.left(), box.bottom());
        painter.setPen(QPen(kInk, edge, Qt::SolidLine, Qt::SquareCap, Qt::RoundJoin));
        painter.setBrush(kAmber);
        painter.drawPolygon(triangle);
        DrawFallArrow(painter, QRectF(s * 0.3, s * 0.3, s * 0.4, s * 0.58), kInk);
        break;
    }
    case Tray::Plain:
        painter.setPen(QPen(kInk, edge));
        painter.setBrush(kBlue);
        painter.drawRoundedRect(box, s * 0.18, s * 0.18);
        DrawPlatter(painter, QPointF(s / 2.0, s / 2.0), s * 0.32);
        break;
    }
    return image;
}

QImage WindowIcon()
{
    QImage image = NewImage(128, 128);
    QPainter painter(&image);
    Begin(painter);
    painter.setPen(Qt::NoPen);
    painter.setBrush(kInk);
    painter.drawRoundedRect(QRectF(4, 4, 120, 120), 22, 22);
    DrawMark(painter, QRectF(14, 14, 100, 100), kGreen);
    return image;
}

QImage OemLogo()
{
    QImage image = NewImage(102, 102);
    QPainter painter(&image);
    Begin(painter);
    painter.setPen(QPen(kInk, 3));
    painter.setBrush(QColor(0xee, 0xf2, 0xf6));
    painter.drawEllipse(QRectF(2, 2, 98, 98));
    DrawMark(painter, QRectF(12, 8, 78, 70), kBlue);
    painter.setPen(kInk);
    painter.setFont(ArtFont(13, true));
    painter.drawText(QRectF(0, 76, 102, 18), Qt::AlignCenter, QStringLiteral("HALVORIN"));
    return image;
}

// A result panel: a rounded card in the colour of the result, a symbol on
// the left and one word on the right.
template <typename Symbol>
QImage ResultPicture(int width, int height, QRectF card, const QColor &colour,
                     const QString &word, Symbol drawSymbol)
{
    QImage image = NewImage(width, height);
    QPainter painter(&image);
    Begin(painter);
    painter.setPen(QPen(colour.darker(150), 3));
    painter.setBrush(colour);
    painter.drawRoundedRect(card.adjusted(1.5, 1.5, -1.5, -1.5), 14, 14);
    const double symbolSize = card.height() * 0.5;
    const QRectF symbolBox(card.left() + (card.width() - symbolSize) / 2.0,
                           card.top() + card.height() * 0.1, symbolSize, symbolSize);
    drawSymbol(painter, symbolBox);
    painter.setPen(Qt::white);
    painter.setFont(ArtFont(card.height() * 0.2, true));
    painter.drawText(QRectF(card.left(), card.top() + card.height() * 0.64, card.width(),
                            card.height() * 0.3),
                     Qt::AlignCenter, word);
    return image;
}

QImage TestFailed()
{
    return ResultPicture(168, 133, QRectF(0, 0, 168, 133), kRed, QStringLiteral("FAIL"),
                         [](QPainter &p, QRectF box) { DrawCross(p, box, Qt::white, box.width() * 0.16); });
}

QImage TestPassed()
{
    // The control is 101 pixels high: the card ends there.
    return ResultPicture(133, 106, QRectF(0, 0, 133, 101), kGreen, QStringLiteral("PASS"),
                         [](QPainter &p, QRectF box) { DrawCheck(p, box, Qt::white, box.width() * 0.16); });
}

// A notebook seen from the side, tilted, with motion lines above it.
void DrawFallingNotebook(QPainter &painter, QRectF box, const QColor &body)
{
    painter.save();
    painter.translate(box.center());
    painter.rotate(-18);
    const double w = box.width() * 0.7;
    const double h = box.height() * 0.16;
    painter.setPen(QPen(kInk, qMax(1.5, h * 0.12)));
    painter.setBrush(body);
    painter.drawRoundedRect(QRectF(-w / 2, 0, w, h), h * 0.3, h * 0.3);
    painter.drawRoundedRect(QRectF(-w / 2, -h * 0.9, w * 0.96, h * 0.7), h * 0.2, h * 0.2);
    painter.restore();
    QPen lines(kInk, qMax(1.5, box.width() * 0.025), Qt::SolidLine, Qt::RoundCap);
    painter.setPen(lines);
    for (int i = 0; i < 3; ++i) {
        const double x = box.left() + box.width() * (0.3 + 0.2 * i);
        painter.drawLine(QPointF(x, box.top() + box.height() * 0.04),
                         QPointF(x, box.top() + box.height() * 0.26));
    }
}

QImage FreeFall()
{
    // The control shows 166 x 106 of it: the card leaves 4 pixels free.
    const QRectF card(0, 0, 166, 106);
    QImage image = NewImage(170, 110);
    QPainter painter(&image);
    Begin(painter);
    painter.setPen(QPen(kAmber.darker(150), 3));
    painter.setBrush(kAmber);
    painter.drawRoundedRect(card.adjusted(1.5, 1.5, -1.5, -1.5), 14, 14);
    DrawFallingNotebook(painter, QRectF(30, 6, 106, 62), kPlatter);
    painter.setPen(kInk);
    painter.setFont(ArtFont(21, true));
    painter.drawText(QRectF(0, 70, 166, 30), Qt::AlignCenter, QStringLiteral("FREE FALL"));
    return image;
}

// Bitmaps have no alpha channel: they are drawn on their background colour
// and stored as 24-bit uncompressed BMP.
QImage HeaderLogo()
{
    QImage image(107, 40, QImage::Format_RGB888);
    image.fill(Qt::black);
    QPainter painter(&image);
    Begin(painter);
    DrawMark(painter, QRectF(3, 4, 32, 32), kGreen);
    painter.setPen(Qt::white);
    painter.setFont(ArtFont(14, true));
    painter.drawText(QRectF(38, 0, 69, 40), Qt::AlignVCenter | Qt::AlignLeft,
                     QStringLiteral("Halvorin"));
    return image;
}

QImage AlertBitmap()
{
    // The window shows columns 4..196 and rows 0..168 of it.
    QImage image(200, 170, QImage::Format_RGB888);
    image.fill(QColor(0xfd, 0xf3, 0xdc));
    QPainter painter(&image);
    Begin(painter);
    painter.setPen(QPen(kAmber.darker(130), 6));
    painter.setBrush(Qt::NoBrush);
    painter.drawRect(QRectF(7, 3, 186, 162));
    DrawFallingNotebook(painter, QRectF(30, 14, 140, 84), kPlatter);
    DrawFallArrow(painter, QRectF(86, 104, 28, 40), kRed);
    painter.setPen(kInk);
    painter.setFont(ArtFont(14, true));
    painter.drawText(QRectF(4, 144, 192, 20), Qt::AlignCenter, QStringLiteral("HEADS PARKED"));
    return image;
}

bool Save(const QImage &image, const QDir &dir, const QString &name)
{
    const QString path = dir.filePath(name);
    const char *format = name.endsWith(QLatin1String(".bmp")) ? "BMP" : "PNG";
    if (!image.save(path, format)) {
        std::fprintf(stderr, "make_artwork: cannot write %s\n", qPrintable(path));
        return false;
    }
    std::printf("%s %dx%d\n", qPrintable(name), image.width(), image.height());
    return true;
}

}  // namespace

int main(int argc, char **argv)
{
    QGuiApplication app(argc, argv);
    if (argc != 2) {
        std::fprintf(stderr, "usage: make_artwork <output directory>\n");
        return 2;
    }
    QDir dir(QString::fromLocal8Bit(argv[1]));
    if (!dir.mkpath(QStringLiteral("."))) {
        std::fprintf(stderr, "make_artwork: cannot create %s\n", argv[1]);
        return 1;
    }
    bool ok = Save(WindowIcon(), dir, QStringLiteral("window_icon.png"));
    const struct { Tray kind; const char *name; } trays[] = {
        {Tray::On, "image1"}, {Tray::Off, "image2"}, {Tray::Fall, "image3"}, {Tray::Plain, "image4"}};
    for (const auto &tray : trays) {
        for (int size : {256, 48, 32, 24, 16}) {
            ok &= Save(TrayIcon(tray.kind, size), dir,
                       QStringLiteral("%1_%2.png").arg(QLatin1String(tray.name)).arg(size));
        }
    }
    ok &= Save(OemLogo(), dir, QStringLiteral("oem_logo.png"));
    ok &= Save(TestFailed(), dir, QStringLiteral("test_failed.png"));
    ok &= Save(TestPassed(), dir, QStringLiteral("test_passed.png"));
    ok &= Save(FreeFall(), dir, QStringLiteral("free_fall.png"));
    ok &= Save(HeaderLogo(), dir, QStringLiteral("header_logo.bmp"));
    ok &= Save(AlertBitmap(), dir, QStringLiteral("alert_free_fall.bmp"));
    return ok ? 0 : 1;
}
