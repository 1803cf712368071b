// Sentrel's pictures, compiled in from forms/artwork.qrc (files in forms/art,
// drawn by tools/dev/make-artwork.sh).
//
// Names are those of the controls that show them; the tray icons Image1
// (protection on), Image2 (off), Image3 (fall) and Image4 come as one QIcon
// holding every size (256, 48, 32, 24, 16 pixels), so QSystemTrayIcon picks
// the one the tray needs.
#pragma once

class QIcon;
class QPixmap;
class QString;

enum class Artwork {
    WindowIcon,   // 128 x 128
    Image1,       // tray: protection on
    Image2,       // tray: protection off
    Image3,       // tray: fall indicated
    Image4,       // tray: not used by any behaviour
    OemLogo,      // 102 x 102
    TestFailed,   // Image_L_R, 168 x 133
    TestPassed,   // Image_L_G, 133 x 106
    FreeFall,     // Image_L_O, 170 x 110
    HeaderLogo,   // Image6, 107 x 40, 24 bits
    AlertBitmap,  // alert window Image1, 200 x 170, 24 bits
};

// Every size of the picture (one for the single-image ones).
QIcon ArtworkIcon(Artwork picture);

// The picture at its own size; a tray icon at 32 x 32, the size a picture
// control of the main window shows.
QPixmap ArtworkPixmap(Artwork picture);

// What the picture shows, for screen readers ("Test passed", ...).
QString ArtworkDescription(Artwork picture);
