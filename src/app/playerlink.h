#pragma once
// The player bar joined to the main window: created after it, docked in its player box at
// the first showing, given the sound device's messages, and the road of a launch.
class Tvmmp3_form;
class Tplayer_form;

// Creates the player bar (owned by the main window) and connects both.
Tplayer_form* CreatePlayerBar(Tvmmp3_form& mainWindow);
