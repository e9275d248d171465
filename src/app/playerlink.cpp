#include "playerlink.h"
#include "customserver.h"
#include "dialogs.h"
#include "launching.h"
#include "mprisservice.h"
#include "player_main.h"
#include "stationpages.h"
#include "vmmp3_main.h"

#include "config.h"

#include "bitmapcache.h"

#include <QFrame>
#include <QPointer>
#include <QSystemTrayIcon>
#include <QTimer>

Tplayer_form* CreatePlayerBar(Tvmmp3_form& w)
{
    auto* bar = new Tplayer_form(&w);
    bar->setWindowFlags(Qt::Tool | Qt::WindowStaysOnTopHint);
    bar->Host.PlayerBox = w.playerbox;
    bar->Host.NotifyWindow = &w;
    // Buy CD looks for the song, not for the track number and the artist.
    bar->Host.FixSongName = [](const QString& title) { return stationpages::FixSongName(title); };
    bar->Host.ShowMainWindow = [&w] {
        w.show();
        w.raise();
    };
    bar->Host.HideMainWindow = [&w] { w.hide(); };
    bar->Host.SetTrayIcon = [&w](bool on) {
        if (w.RxTrayIcon1) w.RxTrayIcon1->setVisible(on);
    };
    // On the desktop edge the bar is a window of its own: it goes with the main window.
    QObject::connect(&w, &QObject::destroyed,
                     [p = QPointer<Tplayer_form>(bar)] { delete p.data(); });
    // The launch state lives as long as the bar.
    auto* launcher = new TLauncher(*bar);
    QObject::connect(bar, &QObject::destroyed, [launcher] { delete launcher; });
    launcher->ShowPlayerBox = [&w] { w.playerbox->show(); };
    bar->Host.LaunchLast = [launcher] { launcher->LaunchLast(); };
    // Song notifications show the station's logo from the button picture cache: a list
    // server station's numbered picture, a directory station's favicon; a station without
    // one shows the program's.
    bar->Host.StationIcon = [](const TCustomServer* s) { return StationLogoFile(s); };
    w.Hooks.DockPlayer = [&w, bar, launcher] {
        bar->DockInto(w.playerbox);
        // The station of the last run, when the user asked for it (a launch brings the
        // bar into the box first: the place is restored after it).
        if (Config() && Config()->Checked("playlaststation")) {
            QTimer::singleShot(0, bar, [bar, launcher] {
                launcher->LaunchLast();
                bar->RestorePlace();
            });
        } else {
            bar->RestorePlace();
        }
    };
    w.Hooks.WaveMessage = [bar](int msg, qintptr wp, qintptr lp) { bar->WaveMessage(msg, wp, lp); };
    w.Hooks.LaunchStation = [&w, launcher](TCustomServer* s) {
        try {
            launcher->LaunchStation(s);
        } catch (const std::exception& e) {
            platform::MessageDlg(QString::fromLocal8Bit(e.what()), platform::mtError,
                                 platform::mbOK, {}, &w);
        }
    };
    // Media keys and desktop widgets reach the bar over the session bus.
    new TMprisService(bar);
    return bar;
}
