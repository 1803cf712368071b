// Building blocks of the four forms: each control is made with its table
// name as object name, its geometry in client pixels (96 dpi), its text,
// font and hint, so a form's constructor reads like its layout table.
//
// Hints. Every hint is kept in the control's "hint" property. A hint the
// window shows is also the control's tool tip (and so its accessible
// description); a hint marked as not shown stays only in the property, so
// the text is there for the caption file to replace but never pops up.
// Behaviour code that relabels controls from the caption file sets hints
// with SetControlHint so the same rule holds.
#pragma once

#include <QRect>
#include <QRgb>
#include <QString>

#include <initializer_list>

class QAction;
class QCheckBox;
class QFont;
class QLabel;
class QLineEdit;
class QObject;
class QPushButton;
class QTimer;
class QWidget;
enum class Artwork;

// Face, character height in pixels, weight and colour of a control's font.
// A colour of 0 means the system's window-text colour; a null face, the
// window's font.
struct FontSpec {
    const char *face;
    int pixelSize;
    bool bold = false;
    QRgb colour = 0;
};

// The control keeps its window's (or containing control's) font.
inline constexpr FontSpec kWindowFont{nullptr, 0};

inline constexpr QRgb kBlack = 0xff000000;
inline constexpr QRgb kWhite = 0xffffffff;
inline constexpr QRgb kMaroon = 0xff800000;

enum class HintShown { Yes, No };

// What the frame of a window looks like: title, screen position of the
// frame, client size (fixed: the user cannot resize), title-bar buttons.
struct FrameSpec {
    QString title;
    QPoint position;
    QSize clientSize;
    enum Buttons { None, CloseOnly } buttons;
    bool stayOnTop;
};

QFont MakeFont(const FontSpec &spec);
void ApplyFont(QWidget *control, const FontSpec &spec);

void SetupFrame(QWidget *window, const FrameSpec &frame);

// Sets the hint at creation; `shown` decides whether it becomes the tool tip.
void SetInitialHint(QObject *control, const QString &hint, HintShown shown);
// Replaces the hint of a control (caption file), keeping its shown/not-shown
// setting. Works for widgets and actions.
void SetControlHint(QObject *control, const QString &hint);
// The hint stored on a control, shown or not.
QString ControlHint(const QObject *control);

// Gives `control` its table name and rectangle.
void Place(QWidget *control, const char *name, const QRect &geometry);

// A label that sizes itself to its text, as a Windows label with AutoSize
// does: it grows (never below its layout size) whenever its text or font
// changes, keeping its left edge, or its right edge when it reads right to
// left. FixLabelSize turns that off for a label of fixed size.
QLabel *MakeLabel(QWidget *parent, const char *name, const QRect &geometry,
                  const QString &text, const FontSpec &font);
void FixLabelSize(QLabel *label);
// Makes a label read right to left (its text aligned to its right edge).
QLabel *ReadingRightToLeft(QLabel *label);
// A picture: the artwork at its own size from the control's top-left corner,
// clipped by the control; its accessible name says what it shows.
QLabel *MakePicture(QWidget *parent, const char *name, const QRect &geometry, Artwork picture);
QPushButton *MakeButton(QWidget *parent, const char *name, const QRect &geometry,
                        const QString &text, const FontSpec &font);
QCheckBox *MakeCheckBox(QWidget *parent, const char *name, const QRect &geometry,
                        const QString &text, const FontSpec &font, bool checked);
QLineEdit *MakeEdit(QWidget *parent, const char *name, const QRect &geometry,
                    const QString &text, const FontSpec &font);
// A timer owned by `owner`, stopped, with its interval.
QTimer *MakeTimer(QObject *owner, const char *name, int intervalMs);
QAction *MakeMenuItem(QObject *owner, const char *name, const QString &text, const QString &hint);

// The keyboard order: each control follows the one before it.
void SetTabChain(std::initializer_list<QWidget *> controls);
