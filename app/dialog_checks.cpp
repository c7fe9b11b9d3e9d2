#include "app/dialog_checks.h"

#include <QCoreApplication>
#include <QLineEdit>

#include "app/message_box.h"
#include "platform/gbk.h"

namespace kestrona {

int GbkByteLength(const QString& text) {
    return static_cast<int>(Utf8ToGbk(text.toStdString()).size());
}

std::optional<QString> MaxBytesProblem(const QString& text, int maxBytes) {
    if (GbkByteLength(text) <= maxBytes) {
        return std::nullopt;
    }
    return QCoreApplication::translate("DialogChecks", "请输入不超过 %1 个字符。").arg(maxBytes);
}

bool CheckMaxBytes(QLineEdit* edit, int maxBytes) {
    const auto problem = MaxBytesProblem(edit->text(), maxBytes);
    if (!problem) {
        return true;
    }
    ShowMessageText(*problem, edit->window());
    edit->setFocus();
    edit->selectAll();
    return false;
}

std::optional<int32_t> CheckInt(QLineEdit* edit) {
    bool ok = false;
    const qlonglong value = edit->text().trimmed().toLongLong(&ok);
    if (ok && value >= INT32_MIN && value <= INT32_MAX) {
        return static_cast<int32_t>(value);
    }
    ShowMessageText(QCoreApplication::translate("DialogChecks", "请输入一个整数。"),
                    edit->window());
    edit->setFocus();
    edit->selectAll();
    return std::nullopt;
}

std::optional<QString> AutoAnswer(const char* name) {
    const QByteArray variable = QByteArray("KESTRONA_AUTO_") + name;
    if (!qEnvironmentVariableIsSet(variable.constData())) {
        return std::nullopt;
    }
    return qEnvironmentVariable(variable.constData());
}

}  // namespace kestrona
