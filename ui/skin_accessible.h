// What screen readers see of the skinned phone: each key is a button named
// by its tip text, with a description and a press action; the display's
// texts are static texts, and a change of the call state is announced.
#pragma once

#include <QString>
#include <QWidget>

namespace kestrona {

// One text of the display. It draws nothing (the face paints the display)
// and lets every mouse press through to the skin beneath; it only carries
// the text for screen readers.
class CDisplayField : public QWidget {
    Q_OBJECT
  public:
    CDisplayField(const QString& role, QWidget* parent);
    const QString& Text() const { return m_text; }
    // announce: tell screen readers when the text changes.
    void SetText(const QString& text, bool announce);

  private:
    QString m_text;
};

// Registers the interfaces of the keys and the display fields (once).
void InstallSkinAccessibility();

// What each key does, in the user's language (command 1001 to 1020).
QString KeyDescription(int command);

}  // namespace kestrona
