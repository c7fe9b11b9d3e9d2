// The look of the phone window: twenty keys that send the commands 1001 to
// 1020 and a display of four texts. The window talks to the face only
// through this small interface, so a different look can take its place
// without touching the calls.
#pragma once

#include <QString>
#include <QWidget>
#include <functional>

#include "app/call_view.h"

namespace kestrona {

class IPhoneFace {
  public:
    virtual ~IPhoneFace() = default;
    virtual QWidget* Widget() = 0;
    // Called with the command (1001 to 1020) of every key the user presses.
    virtual void SetCommandHandler(std::function<void(int)> handler) = 0;
    // command is one of 1001 to 1020.
    virtual void EnableKey(int command, bool enabled) = 0;
    virtual bool IsKeyEnabled(int command) const = 0;
    // A flashing key blinks until told to stop; disabling a key stops it.
    virtual void FlashKey(int command, bool flashing) = 0;
    virtual bool IsKeyFlashing(int command) const = 0;
    // The checked look of a toggle key (the auto-answer key).
    virtual void CheckKey(int command, bool checked) = 0;
    virtual bool IsKeyChecked(int command) const = 0;
    virtual void SetDisplay(const DisplayTexts& texts) = 0;
    virtual DisplayTexts Display() const = 0;
};

// The plain face: ordinary buttons and a text display. `onCommand` is called
// with the command of a pressed key.
class CPhoneFace : public QWidget, public IPhoneFace {
    Q_OBJECT
  public:
    explicit CPhoneFace(QWidget* parent = nullptr);
    ~CPhoneFace() override;

    QWidget* Widget() override { return this; }
    void SetCommandHandler(std::function<void(int)> handler) override {
        m_handler = std::move(handler);
    }
    void EnableKey(int command, bool enabled) override;
    bool IsKeyEnabled(int command) const override;
    void FlashKey(int command, bool flashing) override;
    bool IsKeyFlashing(int command) const override;
    void CheckKey(int command, bool checked) override;
    bool IsKeyChecked(int command) const override;
    void SetDisplay(const DisplayTexts& texts) override;
    DisplayTexts Display() const override { return m_texts; }

  signals:
    void command(int id);

  private:
    struct Key;
    Key* Find(int command) const;
    void OnFlashTick();

    struct Private;
    Private* d;
    DisplayTexts m_texts;
    std::function<void(int)> m_handler;
};

}  // namespace kestrona
