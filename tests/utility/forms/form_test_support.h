// Shared rig of the form tests: the application object, one row per control
// of a layout table, and the invariants every window keeps.
#pragma once

#include <QRect>
#include <QRgb>
#include <QString>
#include <QStringList>

#include <ostream>
#include <vector>

class QWidget;

// Readable values in test failures.
void PrintTo(const QString &text, std::ostream *out);
void PrintTo(const QStringList &list, std::ostream *out);
void PrintTo(const QRect &rect, std::ostream *out);
void PrintTo(const QPoint &point, std::ostream *out);
void PrintTo(const QSize &size, std::ostream *out);

// Creates the QApplication (offscreen) once for the test program.
void EnsureApplication();

// One control of a layout table. `parent` names the containing control
// (nullptr: the window). Text, font and hint are checked when given.
struct ControlRow {
    const char *name;
    const char *kind;        // Qt class, e.g. "QLabel"
    const char *parent;
    QRect geometry;
    const char *text;        // nullptr: not checked
    const char *face;        // nullptr: not checked
    int pixelSize;
    bool bold;
    QRgb colour;             // 0: not checked
    bool visible;
    bool enabled;
    const char *hint;        // nullptr: not checked
    bool hintShown;
};

// Checks every row against the control tree, and that the tree holds no
// named control that the table lacks (pages, timers, menus and dialogs are
// listed in `others`).
void CheckControlTable(QWidget *window, const std::vector<ControlRow> &rows, const QStringList &others);

// Object names are unique within the window.
void CheckUniqueNames(QWidget *window);

// Shows the window, focuses `expected[0]` and presses Tab once per entry:
// the focus visits `expected` in order and comes back to the first. Each
// entry is an object name, or "group:text" for an unnamed button in a group.
void CheckTabWalk(QWidget *window, const QStringList &expected);

// Every visible named control whose rectangle meets the client area.
QStringList ControlsSeenInClientArea(QWidget *window);

// Every named control of the window gives a screen reader a name (tab
// pages excepted: their tabs carry the name).
void CheckAccessibleNames(QWidget *window);

// Accessible name of a widget, as a screen reader gets it.
QString AccessibleName(QWidget *widget);
