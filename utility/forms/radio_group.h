// RadioGroup: a group box holding a list of choices as radio buttons laid
// out in columns, one of them (or none) selected. Behaviour code reads and
// sets the selected item by index and hears one itemIndexChanged per change,
// whether the user clicked or the program set it; setting the index it
// already has changes nothing and emits nothing.
#pragma once

#include <QGroupBox>
#include <QStringList>

class QButtonGroup;
class QRadioButton;

class RadioGroup : public QGroupBox {
    Q_OBJECT
public:
    RadioGroup(const QString &title, const QStringList &items, int columns, QWidget *parent);

    int itemIndex() const { return itemIndex_; }
    // -1 clears the selection; an index outside the items is ignored.
    void setItemIndex(int index);

    int count() const;
    QString itemText(int index) const;
    void setItemText(int index, const QString &text);
    QRadioButton *button(int index) const;

signals:
    void itemIndexChanged(int index);

protected:
    void resizeEvent(QResizeEvent *event) override;

private:
    void onToggled(int id, bool checked);
    void layoutButtons();

    QButtonGroup *group_;
    int columns_;
    int itemIndex_ = -1;
};
