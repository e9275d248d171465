#pragma once
// A main window with its player box, the player bar docked in it, and the launcher that
// shows the box: what Launch goes through in the program.
#include "launching.h"

#include <QFrame>
#include <QVBoxLayout>
#include <QWidget>

namespace playertest {

struct LaunchRig
{
    QWidget main;
    QFrame* box = new QFrame(&main);
    Tplayer_form bar;
    TLauncher launcher{bar};
    LaunchRig()
    {
        (new QVBoxLayout(&main))->addWidget(box);
        main.show();
        bar.Host.PlayerBox = box;
        bar.DockInto(box);
        launcher.ShowPlayerBox = [this] { box->show(); };
    }
};

} // namespace playertest
