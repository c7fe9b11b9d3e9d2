#include "app/message_box.h"

#include <QCoreApplication>
#include <QFile>
#include <QMessageBox>
#include <QMetaObject>
#include <QTextStream>
#include <QThread>
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

namespace {

class AppMessageBox : public IMessageBox {
  public:
    int ShowMessage(int stringId) override { return ShowText(ResString(stringId).toStdString()); }
    int ShowText(const std::string& utf8) override {
        const QString text = QString::fromStdString(utf8);
        QCoreApplication* app = QCoreApplication::instance();
        if (!app || QThread::currentThread() == app->thread()) {
            return ShowMessageText(text);
        }
        // Another thread: hand the box to the application's thread and go on.
        QMetaObject::invokeMethod(
            app, [text] { ShowMessageText(text); }, Qt::QueuedConnection);
        return 1;
    }
};

}  // namespace

std::unique_ptr<IMessageBox> MakeAppMessageBox() {
    return std::make_unique<AppMessageBox>();
}

}  // namespace kestrona
