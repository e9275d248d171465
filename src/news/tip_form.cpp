#include "tip_form.h"

#include "config.h"
#include "netutils.h"
#include "productprofile.h"

#include <QApplication>
#include <QCheckBox>
#include <QFrame>
#include <QGuiApplication>
#include <QHBoxLayout>
#include <QLabel>
#include <QPainter>
#include <QPushButton>
#include <QScreen>
#include <QVBoxLayout>

namespace {

QLabel* makeLink(const QString& text, QWidget* parent, const char* name)
{
    auto* l = new QLabel(text, parent);
    l->setObjectName(name);
    QFont f("Arial");
    f.setPixelSize(13);
    f.setUnderline(true);
    l->setFont(f);
    l->setStyleSheet("color: blue;");
    l->setCursor(Qt::PointingHandCursor);
    return l;
}

// A label that reports a click.
class ClickFilter : public QObject
{
public:
    ClickFilter(QObject* parent, std::function<void()> f) : QObject(parent), f_(std::move(f)) {}
    bool eventFilter(QObject*, QEvent* e) override
    {
        if (e->type() == QEvent::MouseButtonRelease) f_();
        return false;
    }

private:
    std::function<void()> f_;
};

void onClick(QLabel* l, std::function<void()> f)
{
    l->installEventFilter(new ClickFilter(l, std::move(f)));
}

// The light bulb of the grey strip.
QPixmap bulb()
{
    QPixmap pm(40, 56);
    pm.fill(Qt::transparent);
    QPainter p(&pm);
    p.setRenderHint(QPainter::Antialiasing);
    p.setPen(QPen(QColor(120, 100, 0), 2));
    p.setBrush(QColor(255, 230, 80));
    p.drawEllipse(QRectF(4, 2, 32, 32));
    p.setBrush(QColor(170, 170, 170));
    p.setPen(QPen(QColor(90, 90, 90), 1));
    p.drawRect(QRectF(13, 33, 14, 14));
    p.drawLine(13, 38, 27, 38);
    p.drawLine(13, 43, 27, 43);
    return pm;
}

} // namespace

QStringList Ttip_form::TipTexts()
{
    const QString b = QStringLiteral("\u2022 ");
    return {
        b + "Double-click a server to join",
        b + "The longer the \"Speed\" bar is for a station,\n  the better your chances are for "
            "getting a\n  good connection",
        b + "Right click a server to add it to\n  your favorites list\n" + b +
            "Click the \"Favorites\" button to\n  display your favorites",
        b + "More 1/0's in the \"Quality\" bar for a station\n  means better quality music\n" + b +
            "If the 1/0's are red, the quality is too high\n  for your Internet connection.",
        b + "Right click the genre list to customize it",
        b + "Song title information is only available\n  for servers that use the",
    };
}

Ttip_form::Ttip_form(TConfig* config, QWidget* parent)
    : QDialog(parent, Qt::Dialog | Qt::CustomizeWindowHint | Qt::WindowTitleHint |
                          Qt::WindowStaysOnTopHint | Qt::MSWindowsFixedSizeDialogHint),
      config_(config)
{
    setObjectName("tip_form");
    setFixedSize(394, 357);
    const QString title = QApplication::applicationName().isEmpty()
                              ? QStringLiteral("Dialwise")
                              : QApplication::applicationName();
    setWindowTitle(title + " Tips");

    auto* root = new QVBoxLayout(this);
    root->setContentsMargins(8, 8, 8, 8);
    auto* panel = new QFrame(this);
    panel->setObjectName("tippanel");
    panel->setFrameShape(QFrame::StyledPanel);
    panel->setFrameShadow(QFrame::Sunken);
    panel->setAutoFillBackground(true);
    QPalette pal = panel->palette();
    pal.setColor(QPalette::Window, Qt::white);
    pal.setColor(QPalette::WindowText, Qt::black);
    panel->setPalette(pal);
    auto* ph = new QHBoxLayout(panel);
    ph->setContentsMargins(0, 0, 8, 0);
    auto* strip = new QLabel(panel);
    strip->setFixedWidth(48);
    strip->setAutoFillBackground(true);
    QPalette sp = strip->palette();
    sp.setColor(QPalette::Window, QColor(192, 192, 192));
    strip->setPalette(sp);
    strip->setPixmap(bulb());
    strip->setAlignment(Qt::AlignHCenter | Qt::AlignTop);
    strip->setContentsMargins(0, 10, 0, 0);
    ph->addWidget(strip);
    auto* body = new QVBoxLayout;
    body->setSpacing(2);
    body->setContentsMargins(6, 8, 0, 8);
    toplabel = new QLabel("Tips for Using " + title, panel);
    toplabel->setObjectName("toplabel");
    QFont tf = toplabel->font();
    tf.setBold(true);
    tf.setPixelSize(21);
    toplabel->setFont(tf);
    body->addWidget(toplabel);
    auto* rule = new QFrame(panel);
    rule->setFrameShape(QFrame::HLine);
    rule->setFrameShadow(QFrame::Sunken);
    body->addWidget(rule);
    QFont af("Arial");
    af.setPixelSize(13);
    const QStringList tips = TipTexts();
    for (int i = 0; i < tips.size(); ++i) {
        auto* l = new QLabel(tips[i], panel);
        l->setObjectName(QString("tip%1").arg(i + 1));
        l->setFont(af);
        if (i + 1 < tips.size()) {
            body->addWidget(l);
            continue;
        }
        // The last tip ends in the link to the DJ tools, on its continuation line.
        const QStringList lines = tips[i].split('\n');
        l->setText(lines.first());
        body->addWidget(l);
        auto* row = new QHBoxLayout;
        row->setSpacing(4);
        auto* cont = new QLabel(lines.value(1), panel);
        cont->setFont(af);
        row->addWidget(cont);
        pass_thru = makeLink("Dialwise DJ Tools", panel, "pass_thru");
        row->addWidget(pass_thru);
        row->addStretch(1);
        body->addLayout(row);
    }
    body->addStretch(1);
    Label1 = makeLink("View the online help page", panel, "Label1");
    Label5 = makeLink("Comments? Suggestions?", panel, "Label5");
    body->addWidget(Label1);
    body->addWidget(Label5);
    ph->addLayout(body, 1);
    root->addWidget(panel, 1);

    auto* bottom = new QHBoxLayout;
    showtips = new QCheckBox("&Show Tips on Startup", this);
    showtips->setObjectName("showtips");
    Button1 = new QPushButton("&Close", this);
    Button1->setObjectName("Button1");
    bottom->addWidget(showtips);
    bottom->addStretch(1);
    bottom->addWidget(Button1);
    root->addLayout(bottom);

    connect(showtips, &QCheckBox::clicked, this, &Ttip_form::showtipsClick);
    connect(Button1, &QPushButton::clicked, this, &Ttip_form::Button1Click);
    onClick(Label1, [this] { Label1Click(); });
    onClick(Label5, [this] { Label5Click(); });
    onClick(pass_thru, [this] { pass_thruClick(); });

    if (QScreen* s = QGuiApplication::primaryScreen())
        move(s->availableGeometry().center() - rect().center());

    // At creation: shown unless switched off.
    const bool show = !config_ || config_->ReadValue("showtips").isEmpty();
    showtips->setChecked(show);
    if (show) QDialog::show();
}

void Ttip_form::ShowTips()
{
    if (config_) showtips->setChecked(config_->ReadValue("showtips").isEmpty());
    show();
    raise();
    activateWindow();
}

void Ttip_form::showtipsClick()
{
    if (config_) config_->WriteValue("showtips", showtips->isChecked() ? QString() : "X");
}

void Ttip_form::Label1Click()
{
    if (config_) OpenBrowser(config_->Link("help").Url);
}

void Ttip_form::Label5Click()
{
    if (config_) OpenBrowser(config_->Link("feedback").Url);
}

void Ttip_form::pass_thruClick()
{
    OpenBrowser(Profile().WebSite + "/djtools/");
}

void Ttip_form::Button1Click()
{
    done(QDialog::Accepted);
}
