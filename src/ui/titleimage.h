#pragma once
// A picture of the self-drawn title area: pressing it moves the window, a double click
// maximises (where enabled).
#include <QPixmap>
#include <QWidget>
#include <functional>

class TTitleImage : public QWidget
{
    Q_OBJECT
public:
    explicit TTitleImage(QWidget* parent = nullptr);
    void setPicture(const QPixmap& p);
    QPixmap picture() const { return picture_; }
    void setStretch(bool s)
    {
        stretch_ = s;
        update();
    }
    void setFill(const QColor& c)
    {
        fill_ = c;
        update();
    }
    // Fills the band from this many pixels below the top to the bottom (the strip below
    // the middle title picture).
    void setBand(int fromY, const QColor& c)
    {
        bandY_ = fromY;
        band_ = c;
        update();
    }
    QSize sizeHint() const override;

    std::function<void()> OnMouseDown;
    std::function<void()> OnDblClick;

protected:
    void paintEvent(QPaintEvent*) override;
    void mousePressEvent(QMouseEvent* e) override;
    void mouseDoubleClickEvent(QMouseEvent* e) override;

private:
    QPixmap picture_;
    bool stretch_ = false;
    QColor fill_;
    int bandY_ = -1;
    QColor band_;
};

// The advertising banner: the picture scaled down to fit (never cut), right-aligned.
class TBannerImage : public QWidget
{
    Q_OBJECT
public:
    explicit TBannerImage(QWidget* parent = nullptr);
    void setImage(const QImage& image);
    QSize sizeHint() const override { return {468, 60}; }
    QSize minimumSizeHint() const override { return {0, 60}; }
    std::function<void()> OnClick;

protected:
    void paintEvent(QPaintEvent*) override;
    void mouseReleaseEvent(QMouseEvent* e) override;

private:
    QImage image_;
};
