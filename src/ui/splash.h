#pragma once
// The splash window: the product picture, centred, on top, for 2.5 seconds.
#include <QWidget>

class Tmp3splash_form : public QWidget
{
    Q_OBJECT
public:
    explicit Tmp3splash_form(QWidget* parent = nullptr);

protected:
    void showEvent(QShowEvent* e) override;
    void paintEvent(QPaintEvent* e) override;

private:
    bool timerStarted_ = false;
};
