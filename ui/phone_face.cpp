#include "ui/phone_face.h"

#include <QGridLayout>
#include <QLabel>
#include <QPushButton>
#include <QTimer>
#include <QVBoxLayout>
#include <array>

#include "res/strings.h"

namespace kestrona {

struct CPhoneFace::Key {
    QPushButton* button = nullptr;
    bool flashing = false;
};

struct CPhoneFace::Private {
    std::array<Key, 20> keys;
    QLabel* address = nullptr;
    QLabel* peer = nullptr;
    QLabel* status = nullptr;
    QLabel* time = nullptr;
    QTimer flash;
    bool flashOn = false;
};

namespace {

// Key captions of the plain face, in command order 1001..1020.
const char* const kCaptions[20] = {QT_TRANSLATE_NOOP("CPhoneFace", "呼叫"),
                                   QT_TRANSLATE_NOOP("CPhoneFace", "挂断"),
                                   QT_TRANSLATE_NOOP("CPhoneFace", "电话簿"),
                                   QT_TRANSLATE_NOOP("CPhoneFace", "接入"),
                                   QT_TRANSLATE_NOOP("CPhoneFace", "拨出"),
                                   QT_TRANSLATE_NOOP("CPhoneFace", "未接"),
                                   "1",
                                   "2",
                                   "3",
                                   "4",
                                   "5",
                                   "6",
                                   "7",
                                   "8",
                                   "9",
                                   "0",
                                   QT_TRANSLATE_NOOP("CPhoneFace", "清除"),
                                   QT_TRANSLATE_NOOP("CPhoneFace", "录音"),
                                   QT_TRANSLATE_NOOP("CPhoneFace", "自动"),
                                   QT_TRANSLATE_NOOP("CPhoneFace", "设置")};

// Grid places (row, column) of the keys, in command order.
const int kPlace[20][2] = {{0, 0}, {0, 1}, {0, 2}, {0, 3}, {0, 4}, {0, 5}, {1, 0},
                           {1, 1}, {1, 2}, {2, 0}, {2, 1}, {2, 2}, {3, 0}, {3, 1},
                           {3, 2}, {1, 3}, {2, 3}, {1, 5}, {2, 5}, {3, 5}};

}  // namespace

CPhoneFace::CPhoneFace(QWidget* parent) : QWidget(parent), d(new Private) {
    auto* layout = new QVBoxLayout(this);
    auto* display = new QWidget(this);
    display->setObjectName(QStringLiteral("display"));
    display->setStyleSheet(QStringLiteral(
        "#display { background: rgb(186,149,87); } QLabel { color: rgb(84,61,18); }"));
    auto* lines = new QGridLayout(display);
    d->address = new QLabel(display);
    d->peer = new QLabel(display);
    d->status = new QLabel(display);
    d->time = new QLabel(display);
    d->time->setAlignment(Qt::AlignRight | Qt::AlignVCenter);
    lines->addWidget(d->address, 0, 0, 1, 2);
    lines->addWidget(d->peer, 1, 0, 1, 2);
    lines->addWidget(d->status, 2, 0);
    lines->addWidget(d->time, 2, 1);
    layout->addWidget(display);

    auto* grid = new QGridLayout;
    for (int i = 0; i < 20; ++i) {
        auto* button = new QPushButton(tr(kCaptions[i]), this);
        button->setObjectName(QStringLiteral("key%1").arg(1001 + i));
        button->setToolTip(ResString(104 + i));
        button->setFocusPolicy(Qt::NoFocus);
        button->setAutoDefault(false);
        const int id = 1001 + i;
        connect(button, &QPushButton::clicked, this, [this, id] {
            emit command(id);
            if (m_handler) {
                m_handler(id);
            }
        });
        grid->addWidget(button, kPlace[i][0], kPlace[i][1]);
        d->keys[static_cast<std::size_t>(i)].button = button;
    }
    // The auto-answer key shows its state by staying pressed.
    d->keys[18].button->setCheckable(true);
    layout->addLayout(grid);

    d->flash.setInterval(500);
    connect(&d->flash, &QTimer::timeout, this, &CPhoneFace::OnFlashTick);
}

CPhoneFace::~CPhoneFace() {
    delete d;
}

CPhoneFace::Key* CPhoneFace::Find(int command) const {
    if (command < 1001 || command > 1020) {
        return nullptr;
    }
    return &d->keys[static_cast<std::size_t>(command - 1001)];
}

void CPhoneFace::EnableKey(int command, bool enabled) {
    if (Key* key = Find(command)) {
        key->button->setEnabled(enabled);
        if (!enabled) {
            FlashKey(command, false);
        }
    }
}

bool CPhoneFace::IsKeyEnabled(int command) const {
    const Key* key = Find(command);
    return key && key->button->isEnabled();
}

void CPhoneFace::FlashKey(int command, bool flashing) {
    Key* key = Find(command);
    if (!key) {
        return;
    }
    key->flashing = flashing;
    if (!flashing) {
        key->button->setStyleSheet(QString());
    }
    bool any = false;
    for (const Key& k : d->keys) {
        any = any || k.flashing;
    }
    if (any && !d->flash.isActive()) {
        d->flash.start();
    } else if (!any) {
        d->flash.stop();
    }
}

bool CPhoneFace::IsKeyFlashing(int command) const {
    const Key* key = Find(command);
    return key && key->flashing;
}

void CPhoneFace::CheckKey(int command, bool checked) {
    if (Key* key = Find(command)) {
        key->button->setCheckable(true);
        key->button->setChecked(checked);
    }
}

bool CPhoneFace::IsKeyChecked(int command) const {
    const Key* key = Find(command);
    return key && key->button->isChecked();
}

void CPhoneFace::SetDisplay(const DisplayTexts& texts) {
    m_texts = texts;
    d->address->setText(texts.localAddress);
    d->peer->setText(texts.peer);
    d->status->setText(texts.status);
    d->time->setText(texts.time);
}

void CPhoneFace::OnFlashTick() {
    d->flashOn = !d->flashOn;
    for (Key& key : d->keys) {
        if (key.flashing) {
            key.button->setStyleSheet(d->flashOn ? QStringLiteral("background: rgb(255,200,60);")
                                                 : QString());
        }
    }
}

}  // namespace kestrona
