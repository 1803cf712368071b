#include "caption_tables.h"

#include <QAbstractButton>
#include <QAction>
#include <QLabel>

#include "captions.h"
#include "forms/form_support.h"

int ApplyCaptionSection(const std::string& captionFilePath, char digit, const std::vector<CaptionTarget>& rows) {
    CaptionReader reader;
    if (!reader.Open(captionFilePath) || !reader.FindSection(digit)) return 0;
    int found = 0;
    for (const CaptionTarget& row : rows) {
        CaptionEntry entry;
        if (!reader.ReadCaptionEntry(&entry)) break;  // the rest keep their built-in texts
        ++found;
        // The file's bytes are the system code page's (UTF-8 on the host).
        if (row.caption) row.caption(QString::fromLocal8Bit(entry.caption.c_str()));
        if (row.hint) row.hint(QString::fromLocal8Bit(entry.hint.c_str()));
    }
    return found;
}

TextSetter LabelText(QLabel* label) {
    return [label](const QString& s) { label->setText(s); };
}

TextSetter ButtonText(QAbstractButton* button) {
    return [button](const QString& s) { button->setText(s); };
}

TextSetter Hint(QObject* control) {
    // The layout decides whether the hint is shown as a tool tip.
    return [control](const QString& s) { SetControlHint(control, s); };
}

TextSetter ActionText(QAction* action) {
    return [action](const QString& s) { action->setText(s); };
}

