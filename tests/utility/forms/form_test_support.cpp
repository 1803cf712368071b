#include "form_test_support.h"

#include "forms/form_support.h"

#include <QAbstractButton>
#include <QAccessible>
#include <QApplication>
#include <QGroupBox>
#include <QKeyEvent>
#include <QLabel>
#include <QLineEdit>
#include <QMap>
#include <QStackedWidget>
#include <QTabBar>
#include <QTextEdit>
#include <QWidget>

#include <gtest/gtest.h>

void EnsureApplication()
{
    static int argc = 1;
    static char name[] = "sentrel_forms_test";
    static char *argv[] = {name, nullptr};
    if (QApplication::instance() == nullptr)
        new QApplication(argc, argv);
}

void PrintTo(const QString &text, std::ostream *out)
{
    *out << '"' << text.toStdString() << '"';
}

void PrintTo(const QStringList &list, std::ostream *out)
{
    *out << '{' << list.join(QStringLiteral(", ")).toStdString() << '}';
}

void PrintTo(const QRect &rect, std::ostream *out)
{
    *out << rect.x() << ',' << rect.y() << ' ' << rect.width() << 'x' << rect.height();
}

void PrintTo(const QPoint &point, std::ostream *out)
{
    *out << point.x() << ',' << point.y();
}

void PrintTo(const QSize &size, std::ostream *out)
{
    *out << size.width() << 'x' << size.height();
}

namespace {

bool IsInternal(const QObject *object)
{
    if (object->objectName().isEmpty() || object->objectName().startsWith(QLatin1String("qt_")))
        return true;
    // Parts Qt makes inside a tab row (its scroll buttons).
    for (const QObject *up = object->parent(); up != nullptr; up = up->parent()) {
        if (qobject_cast<const QTabBar *>(up))
            return true;
    }
    return false;
}

// The named objects of a window: its widgets (not those of other windows
// it owns), plus the timers, actions, menus and dialogs it owns directly.
QList<QObject *> NamedObjects(QWidget *window)
{
    QList<QObject *> named;
    for (QObject *object : window->findChildren<QObject *>()) {
        if (IsInternal(object))
            continue;
        auto *widget = qobject_cast<QWidget *>(object);
        const bool ownControl = widget != nullptr && widget->window() == window;
        if (ownControl || object->parent() == window)
            named.append(object);
    }
    return named;
}

QString TextOf(QWidget *w)
{
    if (auto *label = qobject_cast<QLabel *>(w))
        return label->text();
    if (auto *button = qobject_cast<QAbstractButton *>(w))
        return button->text();
    if (auto *box = qobject_cast<QGroupBox *>(w))
        return box->title();
    if (auto *edit = qobject_cast<QLineEdit *>(w))
        return edit->text();
    if (auto *rich = qobject_cast<QTextEdit *>(w))
        return rich->toPlainText();
    return QString();
}

QString Identify(QWidget *w)
{
    if (w == nullptr)
        return QStringLiteral("(none)");
    if (!IsInternal(w))
        return w->objectName();
    QWidget *parent = w->parentWidget();
    if (auto *button = qobject_cast<QAbstractButton *>(w))
        return parent->objectName() + QLatin1Char(':') + button->text();
    return parent ? parent->objectName() : QStringLiteral("(unnamed)");
}

void CheckGeometry(QWidget *w, const QRect &expected)
{
    if (!w->property("autoSize").toBool()) {
        EXPECT_EQ(w->geometry(), expected);
        return;
    }
    // A self-sizing label keeps its anchor edge and never shrinks below
    // its layout size.
    const QRect now = w->geometry();
    EXPECT_EQ(now.top(), expected.top());
    if (w->layoutDirection() == Qt::RightToLeft) {
        EXPECT_EQ(now.right(), expected.right());
    } else {
        EXPECT_EQ(now.left(), expected.left());
    }
    EXPECT_GE(now.width(), expected.width());
    EXPECT_GE(now.height(), expected.height());
}

void CheckRow(QWidget *window, const ControlRow &row)
{
    SCOPED_TRACE(row.name);
    auto *w = window->findChild<QWidget *>(QString::fromLatin1(row.name));
    ASSERT_NE(w, nullptr) << "no control named " << row.name;
    EXPECT_STREQ(w->metaObject()->className(), row.kind);
    const QString parent = row.parent ? QString::fromLatin1(row.parent) : window->objectName();
    ASSERT_NE(w->parentWidget(), nullptr);
    if (row.parent) {
        EXPECT_EQ(w->parentWidget()->objectName(), parent);
    } else {
        EXPECT_EQ(w->parentWidget(), window);
    }
    CheckGeometry(w, row.geometry);
    if (row.text) {
        EXPECT_EQ(TextOf(w), QString::fromUtf8(row.text));
    }
    if (row.face) {
        EXPECT_EQ(w->font().family(), QString::fromLatin1(row.face));
        EXPECT_EQ(w->font().pixelSize(), row.pixelSize);
        EXPECT_EQ(w->font().bold(), row.bold);
    }
    if (row.colour) {
        EXPECT_EQ(w->palette().color(w->foregroundRole()).rgba(), row.colour);
    }
    EXPECT_EQ(w->isVisibleTo(w->parentWidget()), row.visible);
    EXPECT_EQ(w->isEnabled(), row.enabled);
    if (row.hint) {
        EXPECT_EQ(ControlHint(w), QString::fromUtf8(row.hint));
        EXPECT_EQ(w->toolTip(), row.hintShown ? QString::fromUtf8(row.hint) : QString());
    }
}

}  // namespace

void CheckControlTable(QWidget *window, const std::vector<ControlRow> &rows, const QStringList &others)
{
    QStringList expected = others;
    for (const ControlRow &row : rows) {
        CheckRow(window, row);
        expected.append(QString::fromLatin1(row.name));
    }
    QStringList found;
    for (QObject *object : NamedObjects(window))
        found.append(object->objectName());
    found.sort();
    expected.sort();
    EXPECT_EQ(found, expected);
}

void CheckUniqueNames(QWidget *window)
{
    QMap<QString, int> count;
    for (QObject *object : NamedObjects(window))
        ++count[object->objectName()];
    for (auto it = count.cbegin(); it != count.cend(); ++it)
        EXPECT_EQ(it.value(), 1) << "name used more than once: " << qPrintable(it.key());
}

void CheckTabWalk(QWidget *window, const QStringList &expected)
{
    ASSERT_FALSE(expected.isEmpty());
    window->show();
    QApplication::setActiveWindow(window);
    auto *first = window->findChild<QWidget *>(expected.first());
    ASSERT_NE(first, nullptr);
    first->setFocus(Qt::TabFocusReason);
    QStringList visited{Identify(QApplication::focusWidget())};
    for (int i = 0; i < expected.size(); ++i) {
        QWidget *focus = QApplication::focusWidget();
        if (focus == nullptr)
            break;
        QKeyEvent tab(QEvent::KeyPress, Qt::Key_Tab, Qt::NoModifier);
        QApplication::sendEvent(focus, &tab);
        visited.append(Identify(QApplication::focusWidget()));
    }
    QStringList round = expected;
    round.append(expected.first());
    EXPECT_EQ(visited, round);
    window->hide();
}

namespace {

// The part of `w` (in window coordinates) not clipped by its ancestors.
QRect SeenRect(QWidget *w, QWidget *window)
{
    QRect seen(w->mapTo(window, QPoint(0, 0)), w->size());
    for (QWidget *up = w->parentWidget(); up != nullptr && up != window; up = up->parentWidget())
        seen &= QRect(up->mapTo(window, QPoint(0, 0)), up->size());
    return seen & window->rect();
}

}  // namespace

QStringList ControlsSeenInClientArea(QWidget *window)
{
    QStringList seen;
    for (QWidget *w : window->findChildren<QWidget *>()) {
        if (IsInternal(w) || w->window() != window || !w->isVisibleTo(window))
            continue;
        if (!SeenRect(w, window).isEmpty())
            seen.append(w->objectName());
    }
    seen.sort();
    return seen;
}

QString AccessibleName(QWidget *widget)
{
    QAccessibleInterface *face = QAccessible::queryAccessibleInterface(widget);
    return face ? face->text(QAccessible::Name) : QString();
}

void CheckAccessibleNames(QWidget *window)
{
    for (QWidget *w : window->findChildren<QWidget *>()) {
        if (IsInternal(w) || w->window() != window || qobject_cast<QStackedWidget *>(w->parentWidget()))
            continue;
        EXPECT_FALSE(AccessibleName(w).isEmpty()) << qPrintable(w->objectName());
    }
    for (QTabBar *tabs : window->findChildren<QTabBar *>()) {
        QAccessibleInterface *row = QAccessible::queryAccessibleInterface(tabs);
        for (int i = 0; i < row->childCount(); ++i)
            EXPECT_FALSE(row->child(i)->text(QAccessible::Name).isEmpty()) << "tab " << i;
    }
}
