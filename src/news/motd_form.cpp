#include "motd_form.h"

#include "config.h"
#include "dialogs.h"
#include "netutils.h"
#include "productprofile.h"
#include "rtfreader.h"
#include "update_form.h"

#include <QCloseEvent>
#include <QGuiApplication>
#include <QScopedValueRollback>
#include <QScreen>
#include <QSplitter>
#include <QTabWidget>
#include <QTextBrowser>
#include <QTimer>
#include <QVBoxLayout>

namespace {
Tmotd_form* g_motd = nullptr;
}

Tmotd_form* MotdForm()
{
    return g_motd;
}

Tmotd_form::Tmotd_form(TConfig* config, QWidget* parent)
    : QWidget(parent), motd_text(new QTextBrowser(this)), Client(new TMotdClient(config, this)),
      config_(config)
{
    setObjectName("motd_form");
    setWindowTitle("News");
    resize(480, 320);
    if (QScreen* s = QGuiApplication::primaryScreen())
        move(s->availableGeometry().center() - rect().center());
    auto* lay = new QVBoxLayout(this);
    lay->setContentsMargins(0, 0, 0, 0);
    motd_text->setObjectName("motd_text");
    motd_text->setReadOnly(true);
    motd_text->setOpenLinks(false);
    motd_text->setVerticalScrollBarPolicy(Qt::ScrollBarAlwaysOn);
    motd_text->document()->setDefaultStyleSheet("a { color: blue; }");
    lay->addWidget(motd_text);
    connect(motd_text, &QTextBrowser::anchorClicked, this, &Tmotd_form::motd_textURLClick);

    g_motd = this;
    StartUpdater = [this] {
        // One updater at a time, whatever the server repeats.
        static bool open = false;
        if (!config_ || open) return;
        open = true;
        Tupdate_form f(config_->ProductKey(), window());
        f.exec();
        open = false;
    };
    Client->OnMessage = [this](const TMotdResponse& r, bool changed) {
        if (changed) {
            if (isHidden() && MayShow && !Docked()) show();
            if (Docked()) lastHost_->setCurrentWidget(this);
        }
        if (MayShow && !Docked()) show();
        LoadMessage(r);
    };
    Client->OnNewVersion = [this] { NewVersionAnnounced(); };
    Client->SendRequest();
}

Tmotd_form::~Tmotd_form()
{
    if (g_motd == this) g_motd = nullptr;
}

void Tmotd_form::LoadMessage(const TMotdResponse& r)
{
    if (r.Rich)
        motd_text->setHtml(TRtfReader::Read(r.Message().toLatin1()).Html);
    else
        motd_text->setHtml(PlainToHtml(r.Message()));
}

void Tmotd_form::NewVersionAnnounced()
{
    if (asking_) return; // the question is open already
    QScopedValueRollback<bool> asking(asking_, true);
    const int a = platform::MessageDlg("There is a new version available.\r\nWould you like to "
                                       "launch the auto-update program now?",
                                       platform::mtConfirmation, platform::mbYesNo, {}, this);
    if (a == platform::mrYes && StartUpdater) StartUpdater();
}

void Tmotd_form::motd_textURLClick(const QUrl& url)
{
    OpenRedirect(url.toString(), Profile().ProductNumber, raMotdLink);
}

void Tmotd_form::SendUsageReport(qint64 totalMs, qint64 foregroundMs)
{
    Client->SendUsageReport(WholeMinutes(double(totalMs) / 60000.0),
                            WholeMinutes(double(foregroundMs) / 60000.0));
}

bool Tmotd_form::Docked() const
{
    return lastHost_ && lastHost_->indexOf(const_cast<Tmotd_form*>(this)) >= 0;
}

void Tmotd_form::DockInto(QTabWidget* pages, const QString& caption)
{
    if (!pages) return;
    lastHost_ = pages;
    caption_ = caption;
    setWindowFlags(Qt::Widget);
    // Docked, the page keeps room for a few lines of news.
    setMinimumHeight(120);
    if (pages->indexOf(this) < 0) pages->addTab(this, caption);
    show();
    // A page area that was laid out before it had a page to show is opened up.
    QPointer<QTabWidget> host(pages);
    QTimer::singleShot(0, this, [host] {
        auto* split = host ? qobject_cast<QSplitter*>(host->parentWidget()) : nullptr;
        if (!split) return;
        const int index = split->indexOf(host);
        QList<int> sizes = split->sizes();
        int total = 0;
        for (int v : sizes)
            total += v;
        const int want = qMax(160, total / 4);
        if (index < 0 || sizes[index] >= want || total <= want) return;
        const int grow = want - sizes[index];
        sizes[index] = want;
        for (int i = 0; i < sizes.size(); ++i)
            if (i != index && sizes[i] > grow) {
                sizes[i] -= grow;
                break;
            }
        split->setSizes(sizes);
    });
}

void Tmotd_form::closeEvent(QCloseEvent* e)
{
    // A window that was docked once goes back to its page instead of closing.
    if (lastHost_ && !Docked()) {
        e->ignore();
        DockInto(lastHost_, caption_);
        return;
    }
    QWidget::closeEvent(e);
}
