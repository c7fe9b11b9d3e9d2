#include "app/message_box.h"

#include <QFile>
#include <QMessageBox>
#include <QTextStream>
#include <cstdio>

#include "res/strings.h"

namespace kestrona {

bool MessagesRecorded() {
    return !qEnvironmentVariableIsEmpty("KESTRONA_MSGLOG");
}

int ShowMessageText(const QString& text, QWidget* parent) {
    if (MessagesRecorded()) {
        QString line = text;
        line.replace(QLatin1Char('\n'), QLatin1String("\\n"));
        const QByteArray utf8 = line.toUtf8();
        QFile file(qEnvironmentVariable("KESTRONA_MSGLOG"));
        if (file.open(QIODevice::Append | QIODevice::WriteOnly)) {
            file.write(utf8 + '\n');
        }
        std::fprintf(stderr, "kestrona message: %s\n", utf8.constData());
        return 1;
    }
    QMessageBox box(QMessageBox::NoIcon, QString::fromLatin1(kAppCaption), text, QMessageBox::Ok,
                    parent);
    box.exec();
    return 1;
}

int ShowMessageString(int id, QWidget* parent) {
    return ShowMessageText(ResString(id), parent);
}

}  // namespace kestrona
