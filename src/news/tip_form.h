#pragma once
// The tips window: a small fixed dialog with usage tips, shown at start unless the user
// switched that off, and again from the main window's help button.
#include <QDialog>

class QCheckBox;
class QLabel;
class QPushButton;
class TConfig;

class Ttip_form : public QDialog
{
    Q_OBJECT
public:
    explicit Ttip_form(TConfig* config, QWidget* parent = nullptr);

    // Shows the window again (the help button).
    void ShowTips();

    void showtipsClick();
    void Label1Click();
    void Label5Click();
    void pass_thruClick();
    void Button1Click();

    // The tips, one label each; continuation lines start with two blanks.
    static QStringList TipTexts();

    QLabel* toplabel;
    QLabel* Label1;
    QLabel* Label5;
    QLabel* pass_thru;
    QCheckBox* showtips;
    QPushButton* Button1;

private:
    TConfig* config_;
};
