#include "ui/option_sheet.h"

#include <QDialogButtonBox>
#include <QPushButton>
#include <QSignalBlocker>
#include <QTabWidget>
#include <QVBoxLayout>

#include "app/message_box.h"
#include "res/resource_ids.h"
#include "res/strings.h"

COptionSheet::COptionSheet(kestrona::SettingsModel* live, QWidget* parent)
    : QDialog(parent),
      m_page1(live),
      m_page2(live),
      m_page3(live),
      m_page4(live),
      m_page5(live),
      m_page6(live),
      m_page7(live) {
    setWindowTitle(kestrona::ResString(kestrona::res::kStrSettings));
    m_pages = {&m_page1, &m_page2, &m_page3, &m_page4, &m_page5, &m_page6, &m_page7};
    m_tabs = new QTabWidget(this);
    // Every page's tab in sight: the sheet grows to fit them.
    m_tabs->setUsesScrollButtons(false);
    for (COptionPage* page : m_pages) {
        // The sheet's tab widget takes the pages as children, but the sheet
        // owns them as members: they are taken back before it is destroyed.
        m_tabs->addTab(page, page->Title());
    }
    auto* buttons = new QDialogButtonBox(QDialogButtonBox::Ok | QDialogButtonBox::Cancel, this);
    buttons->button(QDialogButtonBox::Ok)->setText(tr("确定"));
    buttons->button(QDialogButtonBox::Cancel)->setText(tr("取消"));
    connect(buttons, &QDialogButtonBox::accepted, this, &COptionSheet::accept);
    connect(buttons, &QDialogButtonBox::rejected, this, &COptionSheet::reject);
    auto* layout = new QVBoxLayout(this);
    layout->addWidget(m_tabs);
    layout->addWidget(buttons);

    m_pages[0]->EnsureCreated();
    m_current = 0;
    connect(m_tabs, &QTabWidget::currentChanged, this, [this](int index) {
        if (index == m_current)
            return;
        if (!SetActivePage(index)) {
            const QSignalBlocker block(m_tabs);
            m_tabs->setCurrentIndex(m_current);
        }
    });
}

COptionSheet::~COptionSheet() {
    for (COptionPage* page : m_pages) page->setParent(nullptr);
}

bool COptionSheet::ValidatePage(COptionPage* page) {
    if (!page->IsCreated())
        return true;
    QString message;
    QWidget* field = nullptr;
    if (page->Validate(message, field))
        return true;
    Tell(message);
    if (field)
        field->setFocus();
    return false;
}

bool COptionSheet::SetActivePage(int index) {
    if (index < 0 || index >= static_cast<int>(m_pages.size()))
        return false;
    if (index != m_current && !ValidatePage(m_pages[static_cast<size_t>(m_current)]))
        return false;
    m_pages[static_cast<size_t>(index)]->EnsureCreated();
    m_current = index;
    if (m_tabs->currentIndex() != index) {
        const QSignalBlocker block(m_tabs);
        m_tabs->setCurrentIndex(index);
    }
    return true;
}

void COptionSheet::accept() {
    for (size_t i = 0; i < m_pages.size(); ++i) {
        if (!ValidatePage(m_pages[i])) {
            m_current = static_cast<int>(i);
            const QSignalBlocker block(m_tabs);
            m_tabs->setCurrentIndex(m_current);
            return;
        }
    }
    for (COptionPage* page : m_pages) {
        if (page->IsCreated())
            page->OnOK();
    }
    QDialog::accept();
}

void COptionSheet::Tell(const QString& text) {
    kestrona::ShowMessageText(text, this);
}
