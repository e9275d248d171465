#include "playerlink.h"
#include "customserver.h"
#include "debuglog.h"
#include "dialogs.h"
#include "player_main.h"
#include "vmmp3_main.h"

#include <QCoreApplication>
#include <QFrame>
#include <QSystemTrayIcon>
#include <QToolButton>

namespace {

// Launching a station: the bar's own stream kind plays in the bar; other kinds keep the
// previous road (`other`) for now.
void LaunchStation(Tvmmp3_form& w, Tplayer_form& bar, TCustomServer* station,
                   const std::function<void(TCustomServer*)>& other)
{
    bar.stop_butt->click();
    QCoreApplication::processEvents();
    const auto* sc = dynamic_cast<const TSCServer*>(station);
    const int type = sc ? sc->PlayerKind : 0;
    const int kind = type >= 1 && type <= 3 ? type : 0;
    if (kind != 1) {
        if (other) other(station);
        return;
    }
    bar.PlayerKind = kind;
    bar.playpause_butt->setEnabled(false);
    w.playerbox->show();
    try {
        bar.StartStation(station);
    } catch (const std::exception& e) {
        platform::MessageDlg(QString::fromLocal8Bit(e.what()), platform::mtError, platform::mbOK, {}, &w);
        return;
    }
    // The stream player's pause works once it plays.
    bar.playpause_butt->setEnabled(true);
    w.playerbox->show();
    bar.setFocus();
}

} // namespace

Tplayer_form* CreatePlayerBar(Tvmmp3_form& w)
{
    auto* bar = new Tplayer_form(&w);
    bar->setWindowFlags(Qt::Tool | Qt::WindowStaysOnTopHint);
    bar->Host.PlayerBox = w.playerbox;
    bar->Host.NotifyWindow = &w;
    bar->Host.ShowMainWindow = [&w] {
        w.show();
        w.raise();
    };
    bar->Host.HideMainWindow = [&w] { w.hide(); };
    bar->Host.SetTrayIcon = [&w](bool on) {
        if (w.RxTrayIcon1) w.RxTrayIcon1->setVisible(on);
    };
    w.Hooks.DockPlayer = [&w, bar] { bar->DockInto(w.playerbox); };
    w.Hooks.WaveMessage = [bar](int msg, qintptr wp, qintptr lp) { bar->WaveMessage(msg, wp, lp); };
    w.Hooks.LaunchStation = [&w, bar, other = w.Hooks.LaunchStation](TCustomServer* s) {
        LaunchStation(w, *bar, s, other);
    };
    return bar;
}
