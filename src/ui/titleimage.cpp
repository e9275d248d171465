#include "titleimage.h"

#include <QMouseEvent>
#include <QPainter>
#include <QWindow>

TTitleImage::TTitleImage(QWidget* parent) : QWidget(parent) {}

void TTitleImage::setPicture(const QPixmap& p)
{
    picture_ = p;
    if (!stretch_ && !p.isNull()) setFixedWidth(p.width());
    updateGeometry();
    update();
}

QSize TTitleImage::sizeHint() const
{
    return picture_.isNull() ? QSize(40, 24) : picture_.size();
}

void TTitleImage::paintEvent(QPaintEvent*)
{
    QPainter p(this);
    if (fill_.isValid()) p.fillRect(rect(), fill_);
    if (!picture_.isNull()) {
        if (stretch_)
            p.drawPixmap(QRect(0, 0, width(), picture_.height()), picture_);
        else
            p.drawPixmap(0, 0, picture_);
    }
    if (bandY_ >= 0 && band_.isValid())
        p.fillRect(QRect(0, bandY_, width(), height() - bandY_), band_);
}

void TTitleImage::mousePressEvent(QMouseEvent* e)
{
    if (e->button() != Qt::LeftButton) return;
    if (OnMouseDown) OnMouseDown();
}

void TTitleImage::mouseDoubleClickEvent(QMouseEvent* e)
{
    if (e->button() == Qt::LeftButton && OnDblClick) OnDblClick();
}

TBannerImage::TBannerImage(QWidget* parent) : QWidget(parent)
{
    setSizePolicy(QSizePolicy::Maximum, QSizePolicy::Fixed);
    setCursor(Qt::PointingHandCursor);
}

void TBannerImage::setImage(const QImage& image)
{
    image_ = image;
    update();
}

void TBannerImage::paintEvent(QPaintEvent*)
{
    if (image_.isNull()) return;
    QPainter p(this);
    p.setRenderHint(QPainter::SmoothPixmapTransform);
    const QSize s = image_.size().scaled(size(), Qt::KeepAspectRatio);
    p.drawImage(QRect(QPoint(width() - s.width(), (height() - s.height()) / 2), s), image_);
}

void TBannerImage::mouseReleaseEvent(QMouseEvent* e)
{
    if (e->button() == Qt::LeftButton && rect().contains(e->position().toPoint()) && OnClick)
        OnClick();
}
