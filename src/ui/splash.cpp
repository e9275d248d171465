#include "splash.h"
#include "config.h"

#include <QGuiApplication>
#include <QPainter>
#include <QScreen>
#include <QTimer>

Tmp3splash_form::Tmp3splash_form(QWidget* parent)
    : QWidget(parent, Qt::SplashScreen | Qt::FramelessWindowHint | Qt::WindowStaysOnTopHint)
{
    setObjectName("mp3splash_form");
    setAttribute(Qt::WA_DeleteOnClose);
    resize(360, 160);
    if (QScreen* s = QGuiApplication::primaryScreen())
        move(s->geometry().center() - rect().center());
    show();
}

void Tmp3splash_form::showEvent(QShowEvent* e)
{
    QWidget::showEvent(e);
    if (timerStarted_) return;
    timerStarted_ = true;
    QTimer::singleShot(2500, this, &QWidget::close);
}

void Tmp3splash_form::paintEvent(QPaintEvent*)
{
    const TProductProfile& p = Profile();
    QPainter g(this);
    g.setRenderHint(QPainter::Antialiasing);
    const QColor primary(ColorRed(p.PrimaryColor), ColorGreen(p.PrimaryColor),
                         ColorBlue(p.PrimaryColor));
    const QColor tertiary(ColorRed(p.TertiaryColor), ColorGreen(p.TertiaryColor),
                          ColorBlue(p.TertiaryColor));
    const QColor accent(ColorRed(p.TertiaryFontColor), ColorGreen(p.TertiaryFontColor),
                        ColorBlue(p.TertiaryFontColor));
    QLinearGradient grad(0, 0, 0, height());
    grad.setColorAt(0, primary.lighter(115));
    grad.setColorAt(1, tertiary);
    g.fillRect(rect(), grad);
    g.setPen(QPen(accent, 2));
    g.drawRect(rect().adjusted(1, 1, -1, -1));
    // A small dial.
    const QPoint c(70, height() / 2);
    g.setBrush(Qt::NoBrush);
    g.drawEllipse(c, 34, 34);
    g.drawLine(c, c + QPoint(22, -18));
    QFont big = font();
    big.setPointSize(26);
    big.setBold(true);
    g.setFont(big);
    g.setPen(Qt::white);
    g.drawText(QRect(120, 30, width() - 130, 60), Qt::AlignLeft | Qt::AlignVCenter, "Dialwise");
    QFont small = font();
    small.setPointSize(9);
    g.setFont(small);
    g.drawText(QRect(122, 88, width() - 130, 40), Qt::AlignLeft | Qt::AlignTop,
               "Internet radio browser\nVersion " + p.VersionParts.join('.'));
}
