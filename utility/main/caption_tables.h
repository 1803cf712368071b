// Relabelling a window from its section of the caption file: the n-th entry
// of the section goes to the n-th row of the window's table, its caption to
// one control and its hint (where the table says so) to another. A row
// without a caption target is read and dropped; a missing file, section or
// entry leaves the built-in texts of the remaining rows.
#pragma once

#include <QString>

#include <functional>
#include <string>
#include <vector>

class QAbstractButton;
class QAction;
class QLabel;
class QObject;

using TextSetter = std::function<void(const QString&)>;

struct CaptionTarget {
    TextSetter caption;  // null: the entry is read and not used
    TextSetter hint;     // null: the hint is read and dropped
};

// Reads section `digit` of the caption file and applies its entries in
// order; returns how many entries were found (0 when the file or section is
// missing).
int ApplyCaptionSection(const std::string& captionFilePath, char digit, const std::vector<CaptionTarget>& rows);

// Setters for the usual targets.
TextSetter LabelText(QLabel* label);
TextSetter ButtonText(QAbstractButton* button);
TextSetter ActionText(QAction* action);
// A control's or menu item's hint, shown as its tool tip where the layout shows it.
TextSetter Hint(QObject* control);
