#include "forms/form_support.h"

#include "forms/artwork.h"

#include <QAction>
#include <QCheckBox>
#include <QEvent>
#include <QFont>
#include <QLabel>
#include <QLineEdit>
#include <QPalette>
#include <QPixmap>
#include <QPushButton>
#include <QTimer>
#include <QVariant>
#include <QWidget>

namespace {

const char kHintProperty[] = "hint";
const char kHintShownProperty[] = "hintShown";
const char kAutoSizeProperty[] = "autoSize";
const char kLayoutSizeProperty[] = "layoutSize";
const char kFitterProperty[] = "labelFitter";

void FitLabel(QLabel *label)
{
    if (!label->property(kAutoSizeProperty).toBool())
        return;
    const QSize layout = label->property(kLayoutSizeProperty).toSize();
    const QSize text = label->sizeHint();
    const QSize size(qMax(layout.width(), text.width()), qMax(layout.height(), text.height()));
    if (size == label->size())
        return;
    const QRect now = label->geometry();
    const int left = label->layoutDirection() == Qt::RightToLeft ? now.right() + 1 - size.width() : now.left();
    label->setGeometry(left, now.top(), size.width(), size.height());
}

// A label's text change reaches its parent as a layout request (while the
// parent is visible); a font change or a show reaches the label itself.
class LabelFitter : public QObject {
public:
    explicit LabelFitter(QObject *owner) : QObject(owner) {}

    bool eventFilter(QObject *watched, QEvent *event) override
    {
        switch (event->type()) {
        case QEvent::LayoutRequest:
            for (QLabel *label : watched->findChildren<QLabel *>(QString(), Qt::FindDirectChildrenOnly))
                FitLabel(label);
            break;
        case QEvent::Show:
        case QEvent::FontChange:
            if (auto *label = qobject_cast<QLabel *>(watched))
                FitLabel(label);
            break;
        default:
            break;
        }
        return false;
    }
};

void WatchForFit(QLabel *label)
{
    QWidget *parent = label->parentWidget();
    auto *fitter = parent->property(kFitterProperty).value<QObject *>();
    if (fitter == nullptr) {
        fitter = new LabelFitter(parent);
        parent->installEventFilter(fitter);
        parent->setProperty(kFitterProperty, QVariant::fromValue<QObject *>(fitter));
    }
    label->installEventFilter(fitter);
}

}  // namespace

QFont MakeFont(const FontSpec &spec)
{
    QFont font(QString::fromLatin1(spec.face));
    font.setPixelSize(spec.pixelSize);
    font.setBold(spec.bold);
    return font;
}

void ApplyFont(QWidget *control, const FontSpec &spec)
{
    if (spec.face == nullptr)
        return;
    control->setFont(MakeFont(spec));
    if (spec.colour != 0) {
        QPalette palette = control->palette();
        for (QPalette::ColorRole role : {QPalette::WindowText, QPalette::Text, QPalette::ButtonText})
            palette.setColor(role, QColor::fromRgba(spec.colour));
        control->setPalette(palette);
    }
}

void SetupFrame(QWidget *window, const FrameSpec &frame)
{
    const Qt::WindowFlags type = window->windowType() == Qt::Dialog ? Qt::Dialog : Qt::Window;
    Qt::WindowFlags flags = type | Qt::CustomizeWindowHint | Qt::WindowTitleHint |
                            Qt::MSWindowsFixedSizeDialogHint;
    if (frame.buttons == FrameSpec::CloseOnly)
        flags |= Qt::WindowSystemMenuHint | Qt::WindowCloseButtonHint;
    if (frame.stayOnTop)
        flags |= Qt::WindowStaysOnTopHint;
    window->setWindowFlags(flags);
    window->setWindowTitle(frame.title);
    window->setFixedSize(frame.clientSize);
    window->move(frame.position);
}

void SetInitialHint(QObject *control, const QString &hint, HintShown shown)
{
    control->setProperty(kHintShownProperty, shown == HintShown::Yes);
    SetControlHint(control, hint);
}

void SetControlHint(QObject *control, const QString &hint)
{
    control->setProperty(kHintProperty, hint);
    const QVariant shownSetting = control->property(kHintShownProperty);
    const bool shown = !shownSetting.isValid() || shownSetting.toBool();
    const QString tip = shown ? hint : QString();
    if (auto *widget = qobject_cast<QWidget *>(control)) {
        widget->setToolTip(tip);
    } else if (auto *action = qobject_cast<QAction *>(control)) {
        action->setToolTip(tip.isEmpty() ? action->text() : tip);
        action->setStatusTip(tip);
    }
}

QString ControlHint(const QObject *control)
{
    return control->property(kHintProperty).toString();
}

void Place(QWidget *control, const char *name, const QRect &geometry)
{
    control->setObjectName(QString::fromLatin1(name));
    control->setGeometry(geometry);
}

namespace {

template <typename Control>
Control *MakeTextControl(QWidget *parent, const char *name, const QRect &geometry,
                         const QString &text, const FontSpec &font)
{
    auto *control = new Control(text, parent);
    Place(control, name, geometry);
    ApplyFont(control, font);
    return control;
}

}  // namespace

QLabel *MakeLabel(QWidget *parent, const char *name, const QRect &geometry,
                  const QString &text, const FontSpec &font)
{
    auto *label = MakeTextControl<QLabel>(parent, name, geometry, text, font);
    label->setAlignment(Qt::AlignLeft | Qt::AlignTop);
    label->setProperty(kAutoSizeProperty, true);
    label->setProperty(kLayoutSizeProperty, geometry.size());
    WatchForFit(label);
    FitLabel(label);
    return label;
}

void FixLabelSize(QLabel *label)
{
    label->setProperty(kAutoSizeProperty, false);
    label->resize(label->property(kLayoutSizeProperty).toSize());
}

QLabel *ReadingRightToLeft(QLabel *label)
{
    const QRect now = label->geometry();
    label->setLayoutDirection(Qt::RightToLeft);
    // Back to the layout rectangle, then grow from its right edge.
    label->setGeometry(QRect(now.topLeft(), label->property(kLayoutSizeProperty).toSize()));
    FitLabel(label);
    return label;
}

QLabel *MakePicture(QWidget *parent, const char *name, const QRect &geometry, Artwork picture)
{
    auto *label = new QLabel(parent);
    Place(label, name, geometry);
    label->setAlignment(Qt::AlignLeft | Qt::AlignTop);
    label->setPixmap(ArtworkPixmap(picture));
    label->setAccessibleName(ArtworkDescription(picture));
    return label;
}

QPushButton *MakeButton(QWidget *parent, const char *name, const QRect &geometry,
                        const QString &text, const FontSpec &font)
{
    auto *button = MakeTextControl<QPushButton>(parent, name, geometry, text, font);
    button->setAutoDefault(false);
    return button;
}

QCheckBox *MakeCheckBox(QWidget *parent, const char *name, const QRect &geometry,
                        const QString &text, const FontSpec &font, bool checked)
{
    auto *box = MakeTextControl<QCheckBox>(parent, name, geometry, text, font);
    box->setChecked(checked);
    return box;
}

QLineEdit *MakeEdit(QWidget *parent, const char *name, const QRect &geometry,
                    const QString &text, const FontSpec &font)
{
    return MakeTextControl<QLineEdit>(parent, name, geometry, text, font);
}

QTimer *MakeTimer(QObject *owner, const char *name, int intervalMs)
{
    auto *timer = new QTimer(owner);
    timer->setObjectName(QString::fromLatin1(name));
    timer->setInterval(intervalMs);
    return timer;
}

QAction *MakeMenuItem(QObject *owner, const char *name, const QString &text, const QString &hint)
{
    auto *action = new QAction(text, owner);
    action->setObjectName(QString::fromLatin1(name));
    SetInitialHint(action, hint, HintShown::Yes);
    return action;
}

void SetTabChain(std::initializer_list<QWidget *> controls)
{
    QWidget *previous = nullptr;
    for (QWidget *control : controls) {
        if (previous)
            QWidget::setTabOrder(previous, control);
        previous = control;
    }
}
