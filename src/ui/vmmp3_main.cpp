#include "vmmp3_main.h"
#include "config.h"
#include "debuglog.h"
#include "platform.h"
#include "winconsole.h"

#include <QApplication>
#include <QDir>
#include <QStatusBar>
#include <QTabWidget>
#include <QToolButton>

Tvmmp3_form::Tvmmp3_form(QWidget* parent) : Tvm_form(parent)
{
    // 4. A companion program learns that the player runs.
    AnnounceToCompanion();
    // 6. Base window creation.
    FormCreate();
    // 8. Auto-refresh is on unless "autorefresh" is exactly "0".
    // 9. The window draws its own title area: no system caption.
    setWindowFlag(Qt::FramelessWindowHint, true);
    resize(width() - 1, height());
    resize(width() + 1, height());
    // 10. The button picture cache folder.
    QDir().mkpath(platform::ProgramFolder() + "/buttons");
    // 11. Not maximised.
    Maximized = false;
    // 12. The embedded browser (pages arrive with their own step).
    HaveBrowser = false;
    // 14. The debug console sends its commands here.
    if (TWinConsole* c = WinConsole()) c->AddCommandReceiver(this);
    // 15. Frame diagnostics.
    DebugLog(QString("BorderWidth %1").arg((width() - contentsRect().width()) / 2));
    // 16. Double buffering is the toolkit's default.
    setWindowTitle(QApplication::applicationName());
    for (int i = 0; i < 5; ++i)
        SetLinkButton(lb[i], QString("lb%1").arg(i + 1));
    SetLinkButton(company_butt, "company");
    SetLinkButton(velmora_butt, "velmora");
}

Tvmmp3_form::~Tvmmp3_form()
{
    if (TWinConsole* c = WinConsole()) c->RemoveCommandReceiver(this);
}

void Tvmmp3_form::AnnounceToCompanion()
{
    // The companion listens on a local socket named after its window class; the message
    // carries the registered name and this process's id.
    platform::PostToLocalSocket(
        "TUNELANEST", "mp3running 0 " + QByteArray::number(QApplication::applicationPid()));
}

void Tvmmp3_form::FormShowFirst()
{
    Tvm_form::FormShowFirst();
    SetupColumns();
}
