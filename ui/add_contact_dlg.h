// CAddContactDlg: the small dialog in which a new contact is typed.
#pragma once

#include <QDialog>
#include <QString>

class QLineEdit;

class CAddContactDlg : public QDialog {
    Q_OBJECT
  public:
    static constexpr int kNameMax = 19;
    static constexpr int kNumberMax = 10;
    static constexpr int kEmailMax = 30;

    explicit CAddContactDlg(QWidget* parent = nullptr);

    QString m_strName;
    QString m_strNumber;
    QString m_strEmail;

    QLineEdit* NameEdit() const { return m_name; }
    QLineEdit* NumberEdit() const { return m_number; }
    QLineEdit* EmailEdit() const { return m_email; }

  public slots:
    void accept() override;

  private:
    QLineEdit* m_name;
    QLineEdit* m_number;
    QLineEdit* m_email;
};
