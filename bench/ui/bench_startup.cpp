// Start-up of the installed program to its main window, against a bare Qt window in the
// same run. The program is the one of the dialwise package (build-package/, made by
// scripts/package.sh, or the .deb named by DIALWISE_BENCH_DEB), unpacked into a
// temporary prefix so that it runs as installed: its data from that prefix, a new user's
// empty settings, the embedded browser on, the station list from loopback. Both clocks
// run from starting the process to its window (a normal window of that title, not the
// splash) being viewable on the X display; each side starts five times, alternating, and
// the medians are compared. Both run with a private session bus, as on a desktop.
// Needs an X display (Xvfb).
#include "benchstats.h"

#include <QDir>
#include <QElapsedTimer>
#include <QFileInfo>
#include <QProcess>
#include <QTemporaryDir>
#include <QThread>
#include <benchmark/benchmark.h>
#include <xcb/xcb.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <memory>

#ifndef DW_SOURCE_DIR
#define DW_SOURCE_DIR ""
#endif
#ifndef DW_BAREWINDOW
#define DW_BAREWINDOW ""
#endif

namespace {

// Watches the X display for a viewable top-level window of a title.
class TWindowWatch
{
public:
    TWindowWatch()
    {
        c_ = xcb_connect(nullptr, nullptr);
        if (xcb_connection_has_error(c_)) return;
        root_ = xcb_setup_roots_iterator(xcb_get_setup(c_)).data->root;
        netName_ = atom("_NET_WM_NAME");
        utf8_ = atom("UTF8_STRING");
        type_ = atom("_NET_WM_WINDOW_TYPE");
        splash_ = atom("_NET_WM_WINDOW_TYPE_SPLASH");
    }
    ~TWindowWatch()
    {
        if (c_) xcb_disconnect(c_);
    }
    bool ok() const { return c_ && !xcb_connection_has_error(c_); }

    // True when a viewable window (top-level or one level down, under a window manager's
    // frame) has the title and is not a splash screen.
    bool shown(const QByteArray& title)
    {
        auto* tree = xcb_query_tree_reply(c_, xcb_query_tree(c_, root_), nullptr);
        if (!tree) return false;
        std::unique_ptr<xcb_query_tree_reply_t, decltype(&free)> hold(tree, &free);
        const xcb_window_t* w = xcb_query_tree_children(tree);
        const int n = xcb_query_tree_children_length(tree);
        for (int i = 0; i < n; ++i)
            if (matches(w[i], title)) return true;
        return false;
    }

private:
    xcb_atom_t atom(const char* name)
    {
        auto* r = xcb_intern_atom_reply(c_, xcb_intern_atom(c_, 0, strlen(name), name), nullptr);
        const xcb_atom_t a = r ? r->atom : XCB_ATOM_NONE;
        free(r);
        return a;
    }
    QByteArray property(xcb_window_t w, xcb_atom_t prop, xcb_atom_t type)
    {
        auto* r =
            xcb_get_property_reply(c_, xcb_get_property(c_, 0, w, prop, type, 0, 256), nullptr);
        if (!r) return {};
        const QByteArray v(static_cast<const char*>(xcb_get_property_value(r)),
                           xcb_get_property_value_length(r));
        free(r);
        return v;
    }
    bool matches(xcb_window_t w, const QByteArray& title)
    {
        auto* a = xcb_get_window_attributes_reply(c_, xcb_get_window_attributes(c_, w), nullptr);
        const bool viewable = a && a->map_state == XCB_MAP_STATE_VIEWABLE;
        free(a);
        if (!viewable) return false;
        QByteArray name = property(w, netName_, utf8_);
        if (name.isEmpty()) name = property(w, XCB_ATOM_WM_NAME, XCB_ATOM_STRING);
        if (name == title) {
            const QByteArray t = property(w, type_, XCB_ATOM_ATOM);
            return !(t.size() >= 4 &&
                     *reinterpret_cast<const xcb_atom_t*>(t.constData()) == splash_);
        }
        return false;
    }

    xcb_connection_t* c_ = nullptr;
    xcb_window_t root_ = 0;
    xcb_atom_t netName_ = 0, utf8_ = 0, type_ = 0, splash_ = 0;
};

// Starts the program and waits for its window; milliseconds, or -1 after 60 s.
double timeToWindow(TWindowWatch& watch, const QString& program, const QStringList& args,
                    const QProcessEnvironment& env, const QByteArray& title)
{
    QProcess p;
    p.setProcessEnvironment(env);
    p.setStandardOutputFile(QProcess::nullDevice());
    p.setStandardErrorFile(QProcess::nullDevice());
    QElapsedTimer clock;
    clock.start();
    p.start(program, args);
    double ms = -1;
    while (clock.elapsed() < 60000 && p.state() != QProcess::NotRunning) {
        if (watch.shown(title)) {
            ms = double(clock.nsecsElapsed()) / 1e6;
            break;
        }
        QThread::usleep(1000);
    }
    p.terminate();
    if (!p.waitForFinished(10000)) {
        p.kill();
        p.waitForFinished(5000);
    }
    return ms;
}

QString findDeb()
{
    const QString env = qEnvironmentVariable("DIALWISE_BENCH_DEB");
    if (!env.isEmpty()) return env;
    const QFileInfoList debs = QDir(QStringLiteral(DW_SOURCE_DIR) + "/build-package")
                                   .entryInfoList({"dialwise_*.deb"}, QDir::Files, QDir::Time);
    return debs.isEmpty() ? QString() : debs.first().absoluteFilePath();
}

void BM_InstalledStartup(benchmark::State& state)
{
    if (qEnvironmentVariableIsEmpty("DISPLAY")) {
        state.SkipWithError("needs an X display (Xvfb)");
        return;
    }
    const QString deb = findDeb();
    if (deb.isEmpty() || !QFileInfo::exists(deb)) {
        state.SkipWithError(
            "no dialwise package: run scripts/package.sh (or set DIALWISE_BENCH_DEB)");
        return;
    }
    TWindowWatch watch;
    if (!watch.ok()) {
        state.SkipWithError("cannot open the X display");
        return;
    }
    QTemporaryDir tmp;
    const QString prefix = tmp.path() + "/root";
    if (QProcess::execute("dpkg-deb", {"-x", deb, prefix}) != 0) {
        state.SkipWithError("dpkg-deb -x failed");
        return;
    }
    const QString program = prefix + "/usr/bin/dialwise";

    // A new user on a desktop: empty settings, no debug output, the display given.
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    for (const QString& k : env.keys())
        if (k.startsWith("DIALWISE_") || k.startsWith("XDG_")) env.remove(k);
    env.insert("QT_QPA_PLATFORM", "xcb");
    env.insert("HOME", tmp.path() + "/home");
    env.insert("XDG_RUNTIME_DIR", tmp.path() + "/run");
    env.insert("XDG_DATA_DIRS", prefix + "/usr/share:/usr/share");
    env.insert("QTWEBENGINE_DISABLE_SANDBOX", "1");
    env.insert("QTWEBENGINE_CHROMIUM_FLAGS", "--disable-gpu");
    // The station list from a list server on loopback, where nothing answers: a new user's
    // source would be the public directory, which the benchmark has no business asking
    // (its look-up starts only after the window shows).
    env.insert("DIALWISE_LIST_HOST", "127.0.0.1:9");
    QDir().mkpath(tmp.path() + "/run");
    QFile::setPermissions(tmp.path() + "/run",
                          QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner);

    // A desktop has a session bus; without one Qt's accessibility bridge starts its own
    // through the X server on the first labelled control, which takes seconds. Both sides
    // get a private one.
    QProcess bus;
    bus.start("dbus-daemon", {"--session", "--nofork", "--print-address=1"});
    if (!bus.waitForStarted(5000) || !bus.waitForReadyRead(5000)) {
        state.SkipWithError("cannot start a private session bus (dbus-daemon)");
        return;
    }
    env.insert("DBUS_SESSION_BUS_ADDRESS", QString::fromUtf8(bus.readLine().trimmed()));

    constexpr int runs = 5;
    for (auto _ : state) {
        // Once each untimed: the files are read from the disk cache afterwards, for both.
        timeToWindow(watch, program, {}, env, "Dialwise");
        timeToWindow(watch, DW_BAREWINDOW, {"Bare"}, env, "Bare");
        std::vector<double> ours, bare;
        for (int run = 0; run < runs; ++run) {
            ours.push_back(timeToWindow(watch, program, {}, env, "Dialwise"));
            bare.push_back(timeToWindow(watch, DW_BAREWINDOW, {"Bare"}, env, "Bare"));
        }
        if (std::count(ours.begin(), ours.end(), -1.0) ||
            std::count(bare.begin(), bare.end(), -1.0)) {
            state.SkipWithError("a window did not show within 60 s");
            break;
        }
        const double o = benchstats::Median(ours), b = benchstats::Median(bare);
        state.counters["ours_ms"] = o;
        state.counters["bare_ms"] = b;
        state.counters["ours_min_ms"] = *std::min_element(ours.begin(), ours.end());
        state.counters["bare_min_ms"] = *std::min_element(bare.begin(), bare.end());
        state.counters["ratio"] = b > 0 ? o / b : 0;
        state.counters["deb_kib"] = double(QFileInfo(deb).size()) / 1024;
        bool ok = false;
        QProcess q;
        q.start("dpkg-deb", {"-f", deb, "Installed-Size"});
        q.waitForFinished(10000);
        const double installed = q.readAllStandardOutput().trimmed().toDouble(&ok);
        if (ok) state.counters["installed_kib"] = installed;
    }
    bus.terminate();
    if (!bus.waitForFinished(5000)) bus.kill();
}

} // namespace

BENCHMARK(BM_InstalledStartup)->Iterations(1)->Unit(benchmark::kMillisecond)->UseRealTime();
