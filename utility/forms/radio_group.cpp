#include "forms/radio_group.h"

#include <QButtonGroup>
#include <QFontMetrics>
#include <QRadioButton>

RadioGroup::RadioGroup(const QString &title, const QStringList &items, int columns, QWidget *parent)
    : QGroupBox(title, parent), group_(new QButtonGroup(this)), columns_(qMax(1, columns))
{
    group_->setExclusive(true);
    for (int i = 0; i < items.size(); ++i)
        group_->addButton(new QRadioButton(items[i], this), i);
    connect(group_, &QButtonGroup::idToggled, this, &RadioGroup::onToggled);
    layoutButtons();
}

int RadioGroup::count() const
{
    return static_cast<int>(group_->buttons().size());
}

QRadioButton *RadioGroup::button(int index) const
{
    return qobject_cast<QRadioButton *>(group_->button(index));
}

QString RadioGroup::itemText(int index) const
{
    QRadioButton *b = button(index);
    return b ? b->text() : QString();
}

void RadioGroup::setItemText(int index, const QString &text)
{
    if (QRadioButton *b = button(index))
        b->setText(text);
}

void RadioGroup::setItemIndex(int index)
{
    if (index == itemIndex_ || index < -1 || index >= count())
        return;
    if (index == -1) {
        // An exclusive group does not let its checked button go.
        QRadioButton *checked = button(itemIndex_);
        group_->setExclusive(false);
        checked->setChecked(false);
        group_->setExclusive(true);
        itemIndex_ = -1;
        emit itemIndexChanged(-1);
        return;
    }
    button(index)->setChecked(true);  // onToggled records it and emits
}

void RadioGroup::onToggled(int id, bool checked)
{
    if (!checked || id == itemIndex_)
        return;
    itemIndex_ = id;
    emit itemIndexChanged(id);
}

void RadioGroup::resizeEvent(QResizeEvent *event)
{
    QGroupBox::resizeEvent(event);
    layoutButtons();
}

// Columns of equal width below the title, rows of equal height filling the
// rest of the box, as a Windows radio group arranges its items.
void RadioGroup::layoutButtons()
{
    const int n = count();
    if (n == 0)
        return;
    const int perColumn = (n + columns_ - 1) / columns_;
    const int textHeight = fontMetrics().height();
    const int buttonWidth = (width() - 10) / columns_;
    const int free = height() - textHeight - 5;
    const int buttonHeight = free / perColumn;
    const int topMargin = textHeight + 1 + (free % perColumn) / 2;
    for (int i = 0; i < n; ++i) {
        button(i)->setGeometry((i / perColumn) * buttonWidth + 8,
                               (i % perColumn) * buttonHeight + topMargin, buttonWidth, buttonHeight);
    }
}
