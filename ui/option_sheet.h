// COptionSheet: the modal settings sheet with its six pages. A page is
// created when it is first shown; OK stores the pages that were shown, in
// page order, Cancel discards everything.
#pragma once

#include <QDialog>
#include <array>

#include "ui/pages.h"

class QTabWidget;

namespace kestrona {
struct SettingsModel;
}

class COptionSheet : public QDialog {
    Q_OBJECT
  public:
    // live: the running program's settings (the auto-answer and quality
    // pages update it on OK); may be null.
    explicit COptionSheet(kestrona::SettingsModel* live = nullptr, QWidget* parent = nullptr);
    ~COptionSheet() override;

    CPage1 m_page1;
    CPage2 m_page2;
    CPage3 m_page3;
    CPage4 m_page4;
    CPage5 m_page5;
    CPage6 m_page6;
    CPage7 m_page7;

    QTabWidget* Tabs() const { return m_tabs; }
    COptionPage* Page(int index) const { return m_pages[static_cast<size_t>(index)]; }
    // Selects a page (creating it if need be); false when the current page
    // holds a bad value and stays.
    bool SetActivePage(int index);

  public slots:
    void accept() override;

  protected:
    virtual void Tell(const QString& text);

  private:
    bool ValidatePage(COptionPage* page);

    QTabWidget* m_tabs = nullptr;
    std::array<COptionPage*, 7> m_pages{};
    int m_current = 0;
};
