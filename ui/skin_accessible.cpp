#include "ui/skin_accessible.h"

#include <QAccessible>
#include <QAccessibleWidget>
#include <QCoreApplication>

#include "res/resource_ids.h"
#include "ui/fly_btn.h"

namespace kestrona {
namespace {

// A skinned key: a push button (a check box-like toggle for the auto-answer
// key) whose enabled state is the key's own flag, not the window system's.
class FlyBtnAccessible : public QAccessibleWidget {
  public:
    explicit FlyBtnAccessible(CFlyBtn* key) : QAccessibleWidget(key, QAccessible::Button) {}

    CFlyBtn* Key() const { return static_cast<CFlyBtn*>(widget()); }

    QString text(QAccessible::Text t) const override {
        switch (t) {
            case QAccessible::Name:
                return QAccessibleWidget::text(t).isEmpty() ? Key()->Text()
                                                            : QAccessibleWidget::text(t);
            case QAccessible::Description: {
                const QString own = Key()->accessibleDescription();
                return own.isEmpty() ? KeyDescription(static_cast<int>(Key()->CommandId())) : own;
            }
            default:
                return QAccessibleWidget::text(t);
        }
    }

    QAccessible::State state() const override {
        QAccessible::State s = QAccessibleWidget::state();
        if (!Key()->IsKeyEnabled()) {
            s.disabled = true;
            s.focusable = true;  // still reached with Tab, and says why it does nothing
        }
        if (Key()->IsCheckable() || Key()->IsChecked()) {
            s.checkable = true;
            s.checked = Key()->IsChecked();
        }
        if (Key()->IsPressed())
            s.pressed = true;
        return s;
    }

    QStringList actionNames() const override {
        QStringList names = QAccessibleWidget::actionNames();
        if (Key()->IsKeyEnabled())
            names.prepend(pressAction());
        return names;
    }

    void doAction(const QString& action) override {
        if (action == pressAction()) {
            Key()->Click();
            return;
        }
        QAccessibleWidget::doAction(action);
    }

    QStringList keyBindingsForAction(const QString& action) const override {
        if (action == pressAction())
            return {QStringLiteral("space")};
        return QAccessibleWidget::keyBindingsForAction(action);
    }
};

class DisplayFieldAccessible : public QAccessibleWidget {
  public:
    explicit DisplayFieldAccessible(CDisplayField* field)
        : QAccessibleWidget(field, QAccessible::StaticText) {}

    QString text(QAccessible::Text t) const override {
        auto* field = static_cast<CDisplayField*>(widget());
        if (t == QAccessible::Name || t == QAccessible::Value)
            return field->Text();
        if (t == QAccessible::Description)
            return field->accessibleDescription();
        return QAccessibleWidget::text(t);
    }
};

QAccessibleInterface* Factory(const QString& className, QObject* object) {
    if (!object || !object->isWidgetType())
        return nullptr;
    if (className == QLatin1String("CFlyBtn"))
        return new FlyBtnAccessible(static_cast<CFlyBtn*>(object));
    if (className == QLatin1String("kestrona::CDisplayField"))
        return new DisplayFieldAccessible(static_cast<CDisplayField*>(object));
    return nullptr;
}

}  // namespace

CDisplayField::CDisplayField(const QString& role, QWidget* parent) : QWidget(parent) {
    setAttribute(Qt::WA_TransparentForMouseEvents);
    setAttribute(Qt::WA_NoSystemBackground);
    setFocusPolicy(Qt::NoFocus);
    setAccessibleDescription(role);
}

void CDisplayField::SetText(const QString& text, bool announce) {
    if (text == m_text)
        return;
    m_text = text;
    if (!announce)
        return;
    QAccessibleEvent name(this, QAccessible::NameChanged);
    QAccessible::updateAccessibility(&name);
    // Read out even where the reader only follows the focus.
    QAccessibleEvent alert(this, QAccessible::Alert);
    QAccessible::updateAccessibility(&alert);
}

void InstallSkinAccessibility() {
    static const bool installed = (QAccessible::installFactory(Factory), true);
    (void)installed;
}

QString KeyDescription(int command) {
    static const char* const kDescriptions[res::kKeyCount] = {
        QT_TRANSLATE_NOOP("KeyDescription", "拨打输入的号码，或接听来电"),
        QT_TRANSLATE_NOOP("KeyDescription", "结束通话"),
        QT_TRANSLATE_NOOP("KeyDescription", "打开电话簿"),
        QT_TRANSLATE_NOOP("KeyDescription", "打开接入的电话列表"),
        QT_TRANSLATE_NOOP("KeyDescription", "打开拨出的电话列表"),
        QT_TRANSLATE_NOOP("KeyDescription", "打开未接电话列表"),
        QT_TRANSLATE_NOOP("KeyDescription", "输入数字 1"),
        QT_TRANSLATE_NOOP("KeyDescription", "输入数字 2"),
        QT_TRANSLATE_NOOP("KeyDescription", "输入数字 3"),
        QT_TRANSLATE_NOOP("KeyDescription", "输入数字 4"),
        QT_TRANSLATE_NOOP("KeyDescription", "输入数字 5"),
        QT_TRANSLATE_NOOP("KeyDescription", "输入数字 6"),
        QT_TRANSLATE_NOOP("KeyDescription", "输入数字 7"),
        QT_TRANSLATE_NOOP("KeyDescription", "输入数字 8"),
        QT_TRANSLATE_NOOP("KeyDescription", "输入数字 9"),
        QT_TRANSLATE_NOOP("KeyDescription", "输入数字 0"),
        QT_TRANSLATE_NOOP("KeyDescription", "清除输入的号码"),
        QT_TRANSLATE_NOOP("KeyDescription", "录下这次通话"),
        QT_TRANSLATE_NOOP("KeyDescription", "来电时自动应答并录音"),
        QT_TRANSLATE_NOOP("KeyDescription", "打开设置"),
    };
    const int index = command - res::kCmdFirstKey;
    if (index < 0 || index >= res::kKeyCount)
        return QString();
    return QCoreApplication::translate("KeyDescription", kDescriptions[index]);
}

}  // namespace kestrona
