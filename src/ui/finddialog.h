#pragma once
// A small find dialog: text, direction, Find Next (no case or whole-word options).
#include <QDialog>
#include <functional>

class QLineEdit;
class QRadioButton;
class QPushButton;

class TFindDialog : public QDialog
{
    Q_OBJECT
public:
    explicit TFindDialog(QWidget* parent = nullptr);
    QString FindText() const;
    void SetFindText(const QString& t);
    bool Down() const;
    void SetDown(bool down);
    void CloseDialog() { hide(); }

    std::function<void()> OnShow; // FindDialog1Show
    std::function<void()> OnFind; // FindDialog1Find

    QLineEdit* Edit;
    QRadioButton* UpButton;
    QRadioButton* DownButton;
    QPushButton* FindNext;

protected:
    void showEvent(QShowEvent* e) override;
};
