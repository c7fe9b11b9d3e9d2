// The skinned look of the phone: a window cut to the outline of the skin
// bitmap, twenty CFlyBtn keys laid over it and the display drawn on the skin.
// It is dragged by the skin; the right button opens the window menu and a
// double click hides the phone.
#pragma once

#include <QFont>
#include <QImage>
#include <QRect>
#include <QRegion>
#include <array>
#include <cstdint>
#include <functional>

#include "app/call_display.h"
#include "ui/phone_face.h"

class CFlyBtn;

namespace kestrona {

class CDisplayField;

// The part of the skin that belongs to the window: every pixel except the
// exactly white ones (255, 255, 255); near-white stays.
QRegion SkinRegion(const QImage& skin);

// The font the display is drawn in.
QFont DisplayFont();

// Where each display text is drawn (its top-left corner) and how wide it may
// be before it runs into the next text or off the display.
struct DisplayPlaces {
    static constexpr QRect kLocalAddress{110, 24, 190, 14};
    static constexpr QRect kPeer{110, 38, 190, 14};
    static constexpr QRect kStatus{110, 53, 126, 14};
    static constexpr QRect kTime{240, 53, 60, 14};
};

// Key places: command 1001 + index, top-left corner in client pixels.
struct KeyPlace {
    int x;
    int y;
};
extern const std::array<KeyPlace, 20> kKeyPlaces;

class CSkinFace : public QWidget, public IPhoneFace {
    Q_OBJECT
  public:
    static constexpr QRect kDisplayArea{QPoint(90, 20), QPoint(299, 69)};

    explicit CSkinFace(QWidget* parent = nullptr);
    ~CSkinFace() override;

    QWidget* Widget() override { return this; }
    void SetCommandHandler(std::function<void(int)> handler) override;
    void EnableKey(int command, bool enabled) override;
    bool IsKeyEnabled(int command) const override;
    void FlashKey(int command, bool flashing) override;
    bool IsKeyFlashing(int command) const override;
    void CheckKey(int command, bool checked) override;
    bool IsKeyChecked(int command) const override;
    void SetDisplay(const DisplayTexts& texts) override;
    DisplayTexts Display() const override { return m_texts; }

    CFlyBtn* Key(int command) const;
    // The display's texts as screen readers find them.
    CDisplayField* StatusField() const { return m_fields[2]; }
    const QImage& Skin() const { return m_skin; }
    const QRegion& Region() const { return m_region; }
    // The skin, the keys and the display as they look now.
    QImage Render();

    // What a press on the bare skin does: hooks for the phone window (tests
    // and windows without a tray replace them).
    std::function<void(QPoint globalPos)> onWindowMenu;
    std::function<void()> onHide;

  protected:
    bool event(QEvent* event) override;
    void paintEvent(QPaintEvent* event) override;
    void mousePressEvent(QMouseEvent* event) override;
    void mouseMoveEvent(QMouseEvent* event) override;
    void mouseReleaseEvent(QMouseEvent* event) override;
    void mouseDoubleClickEvent(QMouseEvent* event) override;
    void showEvent(QShowEvent* event) override;

  private:
    void DrawDisplay(QPainter& painter) const;
    void ApplyRegion();

    QImage m_skin;
    QImage m_skin2x;  // painted on high-density screens; may be null
    QRegion m_region;
    std::array<CFlyBtn*, 20> m_keys{};
    std::array<CDisplayField*, 4> m_fields{};  // address, peer, status, time
    DisplayTexts m_texts;
    std::function<void(int)> m_handler;
    QPoint m_dragOffset;
    bool m_dragging = false;
};

}  // namespace kestrona
