// CFlyBtn: a key of the skinned phone. It draws itself from three images
// (normal, highlighted, pressed), lights up under the pointer, shows its tip
// after a second's rest, can be switched off, checked or made to flash, and
// sends its command synchronously to the program's main window on a click.
#pragma once

#include <QBasicTimer>
#include <QEvent>
#include <QPointer>
#include <QRect>
#include <QString>
#include <QWidget>

#include "ui/skin_images.h"

#include "ui/tip_wnd.h"

namespace kestrona {

// The command a key (or a menu entry) delivers to the main window.
class CommandEvent : public QEvent {
  public:
    static QEvent::Type EventType();
    explicit CommandEvent(unsigned int id) : QEvent(EventType()), m_id(id) {}
    unsigned int Id() const { return m_id; }

  private:
    unsigned int m_id;
};

// The window that receives the keys' commands. While none is set, a key's
// command goes to its own top-level window.
void SetCommandTarget(QObject* target);
QObject* CommandTarget();
// Sends the command synchronously; returns once the target has handled it.
void SendCommand(unsigned int id, QObject* fallback = nullptr);

}  // namespace kestrona

class CFlyBtn : public QWidget {
    Q_OBJECT
  public:
    // Timer numbers, as the phone's other timers are numbered too.
    static constexpr int kTimerTipDelay = 10;
    static constexpr int kTimerTipTime = 11;
    static constexpr int kTimerFlash = 20;
    static constexpr int kTipDelayMs = 1000;
    static constexpr int kTipTimeMs = 3000;
    static constexpr int kFlashMs = 500;

    CFlyBtn();
    ~CFlyBtn() override;

    bool Create(const QString& text, const QRect& rect, QWidget* parent,
                const kestrona::ImageList& images, bool fillBack, unsigned int id);
    // Only the key's own flag changes; ask IsKeyEnabled, not isEnabled().
    void EnableWindow(bool enable);
    void FlashBtn(bool on);
    void CheckBtn(bool checked);
    void SetText(const QString& text);

    // A key pressed without the mouse (keyboard, screen reader): sends the
    // command when the key is enabled. False when it is not.
    bool Click();
    // The tip text, which also names the key for screen readers.
    QString Text() const;
    // A toggle key (auto-answer) says so to screen readers.
    void SetCheckable(bool checkable) { m_bCheckable = checkable; }
    bool IsCheckable() const { return m_bCheckable; }

    bool IsKeyEnabled() const { return m_bEnabled; }
    bool IsChecked() const { return m_bChecked; }
    bool IsPressed() const { return m_bPressed; }
    bool IsTracking() const { return m_bTracking; }
    bool IsFlashing() const { return m_flash.isActive(); }
    bool IsTimerActive(int id) const;
    int CurrentImage() const { return m_nImage; }
    unsigned int CommandId() const { return m_nCommandID; }
    CTipWnd* Tip() const { return m_pTip; }
    // What OnPaint draws, as an image of the key's size.
    QImage RenderFace() const;

    // The handlers, public so that a window can forward to them and tests can
    // drive the timers without waiting.
    void OnMouseMove(QPoint point);
    void OnLButtonDown(QPoint point);
    void OnLButtonUp(QPoint point);
    void OnTimer(int id);
    void OnActivate(bool active);

  signals:
    // After the command has been delivered.
    void commandSent(unsigned int id);

  protected:
    void paintEvent(QPaintEvent* event) override;
    void mouseMoveEvent(QMouseEvent* event) override;
    void mousePressEvent(QMouseEvent* event) override;
    void mouseDoubleClickEvent(QMouseEvent* event) override;
    void keyPressEvent(QKeyEvent* event) override;
    void focusInEvent(QFocusEvent* event) override;
    void focusOutEvent(QFocusEvent* event) override;
    void mouseReleaseEvent(QMouseEvent* event) override;
    void leaveEvent(QEvent* event) override;
    void hideEvent(QHideEvent* event) override;
    void timerEvent(QTimerEvent* event) override;
    bool eventFilter(QObject* watched, QEvent* event) override;

  private:
    void Paint(QPainter& painter) const;
    void StopTimer(int id);
    void Capture(bool on);
    void Redraw(bool erase);

    QPointer<CTipWnd> m_pTip;  // owned; the owner window may delete it first
    unsigned int m_nCommandID = 0;
    bool m_bChecked = false;
    bool m_bPressed = false;
    bool m_bEnabled = true;
    bool m_bFillBack = false;
    int m_nImage = 0;
    bool m_bTracking = false;
    QPointer<QWidget> m_pParent;
    kestrona::ImageList m_images;
    QRect m_rect;

    QBasicTimer m_tipDelay;
    QBasicTimer m_tipTime;
    QBasicTimer m_flash;
    bool m_bCaptured = false;
    bool m_bCheckable = false;
};
