// The run command's demo world: started around a stand-in for the program, serving the
// demo stations, and stopped completely when the program exits or the script is stopped.
#include "listcheck.h"
#include "testsupport.h"

#include <QRegularExpression>
#include <QTemporaryDir>
#include <QtTest>
#include <csignal>

using namespace dwtest;

namespace {

const QString kScript = QStringLiteral(DW_SOURCE_DIR "/scripts/demo-world.sh");

QList<qint64> startedPids(const QString& log)
{
    QList<qint64> pids;
    static const QRegularExpression re(QStringLiteral("demo-world: started .* \\(pid (\\d+)\\)"));
    for (auto it = re.globalMatch(log); it.hasNext();)
        pids << it.next().captured(1).toLongLong();
    return pids;
}

bool alive(qint64 pid)
{
    return ::kill(pid_t(pid), 0) == 0;
}

} // namespace

class TestDemoWorld : public QObject
{
    Q_OBJECT
private slots:
    void initTestCase();
    void runsTheProgramInTheWorld();
    void stopsWhenStopped();

private:
    void startWorld(QProcess& world, const QString& client);
    QTemporaryDir dir_;
};

void TestDemoWorld::initTestCase()
{
    for (const char* p : {"icecast2", "ffmpeg", "ngircd", "curl"})
        if (findProgram(p).isEmpty())
            DW_PEER_MISSING(p, QStringLiteral("%1 is not installed").arg(p));
    if (qEnvironmentVariableIsEmpty("DISPLAY") && findProgram("Xvfb").isEmpty())
        DW_PEER_MISSING("xvfb", "no display and no Xvfb");
}

void TestDemoWorld::startWorld(QProcess& world, const QString& client)
{
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.remove("DIALWISE_HOME");
    env.insert("DEMO_WORLD_CLIENT", client);
    world.setProcessEnvironment(env);
    world.setProcessChannelMode(QProcess::MergedChannels);
    inOwnProcessGroup(world);
    world.start("bash", {kScript, QStringLiteral(DW_BINARY_DIR), "--first", "second"});
    QVERIFY(world.waitForStarted(5000));
}

void TestDemoWorld::runsTheProgramInTheWorld()
{
    // The stand-in records what the program would see: its environment, the live part of
    // the station list, and the chat server's welcome.
    const QString out = dir_.filePath("seen.txt");
    const QString client =
        writeFile(dir_.filePath("client.sh"),
                  "#!/usr/bin/env bash\n"
                  "{ echo \"home=$DIALWISE_HOME\"; echo \"args=$*\"; echo \"display=$DISPLAY\"\n"
                  "  curl -s \"http://$DIALWISE_LIST_HOST/?compress=1&genre=live\" > '" +
                      dir_.filePath("list.z").toUtf8() +
                      "'\n"
                      "  ads=\"$DIALWISE_AD_BASE/cgi-bin/accipiter/adserver.exe/SITE=TLANSOFT\"\n"
                      "  curl -s -L -o '" +
                      dir_.filePath("banner.bin").toUtf8() +
                      "' \"$ads/AREA=M_ROCK/?4021\"\n"
                      "  echo \"logo=$(curl -s -o /dev/null -w '%{http_code} %{content_type}' "
                      "\"$DIALWISE_LOGO_BASE/buttons/5.bmp\")\"\n"
                      "  r=\"http://$DIALWISE_REDIRECT_HOST/redirect.asp?product=2&area=1\"\n"
                      "  echo \"redirect=$(curl -s -o /dev/null -w '%{http_code} %{redirect_url}' "
                      "\"$r&url=http%3A%2F%2F$DIALWISE_REDIRECT_HOST%2Fcatalog\")\"\n"
                      "  echo \"site=$DIALWISE_REDIRECT_HOST\"\n"
                      "  exec 3<>/dev/tcp/${DIALWISE_CHAT_HOST%:*}/${DIALWISE_CHAT_HOST#*:}\n"
                      "  printf 'NICK standin\\r\\nUSER standin 0 * :Stand In\\r\\n' >&3\n"
                      "  timeout 5 head -n 1 <&3\n"
                      "} > '" +
                      out.toUtf8() + "' 2>&1\nexit 3\n");
    QFile::setPermissions(client, QFile::permissions(client) | QFile::ExeUser);

    QProcess world;
    startWorld(world, client);
    const ProcessGroupGuard group(world);
    QVERIFY(world.waitForFinished(180000)); // icecast lists its stations after a minute
    const QString log = QString::fromUtf8(world.readAll());
    QVERIFY2(world.exitCode() == 3, qPrintable(log)); // the program's exit code

    QFile seenFile(out);
    QVERIFY(seenFile.open(QIODevice::ReadOnly));
    const QByteArray seen = seenFile.readAll();
    QVERIFY2(seen.contains("home=/tmp/dialwise-demo."), seen.constData());
    QVERIFY(seen.contains("args=--first second"));
    QVERIFY(!seen.contains("display=\n"));
    QVERIFY2(seen.contains(" 001 standin "), seen.constData());

    // Banners, logos and the redirect service come from the directory too.
    const QString site = QRegularExpression(QStringLiteral("site=(127\\.0\\.0\\.1:\\d+)"))
                             .match(QString::fromUtf8(seen))
                             .captured(1);
    QVERIFY2(!site.isEmpty(), seen.constData());
    QVERIFY2(seen.contains("logo=200 image/bmp"), seen.constData());
    QVERIFY2(seen.contains("redirect=302 http://" + site.toUtf8() + "/catalog\n"),
             seen.constData());
    QFile banner(dir_.filePath("banner.bin"));
    QVERIFY(banner.open(QIODevice::ReadOnly));
    const QByteArray picture = banner.readAll();
    QVERIFY(picture.startsWith("GIF8") || picture.startsWith("\xFF\xD8\xFF"));

    QFile listFile(dir_.filePath("list.z"));
    QVERIFY(listFile.open(QIODevice::ReadOnly));
    const QList<Record> live = parseList(inflateLikeClient(listFile.readAll()));
    QVERIFY2(live.size() >= 3, qPrintable(log));
    qint64 listeners = 0;
    for (const Record& r : live) {
        QVERIFY(r.value("ip").startsWith("http://127.0.0.1:"));
        QVERIFY(r.value("hostname").startsWith("Demo "));
        QVERIFY2(!r.value("songtitle").isEmpty(), r.value("hostname").constData());
        QVERIFY(r.value("bitrate").toInt() > 0);
        listeners += r.value("numplayers").toLongLong();
    }
    QVERIFY(listeners > 0);

    // Everything the world started is gone, and so is its folder.
    const QList<qint64> pids = startedPids(log);
    QVERIFY(pids.size() >= 6);
    for (qint64 pid : pids)
        QVERIFY2(!alive(pid), qPrintable(QStringLiteral("pid %1 still runs").arg(pid)));
    const QString tmp =
        QRegularExpression(QStringLiteral("temporary folder (\\S+)")).match(log).captured(1);
    QVERIFY(!tmp.isEmpty());
    QVERIFY(!QFile::exists(tmp));
}

void TestDemoWorld::stopsWhenStopped()
{
    const QString ready = dir_.filePath("ready");
    const QString client =
        writeFile(dir_.filePath("waiting.sh"),
                  "#!/usr/bin/env bash\ntouch '" + ready.toUtf8() + "'\nexec sleep 600\n");
    QFile::setPermissions(client, QFile::permissions(client) | QFile::ExeUser);

    QProcess world;
    startWorld(world, client);
    const ProcessGroupGuard group(world);
    QTRY_VERIFY_WITH_TIMEOUT(QFile::exists(ready), 90000);
    ::kill(pid_t(world.processId()), SIGTERM);
    QVERIFY(world.waitForFinished(20000));
    const QString log = QString::fromUtf8(world.readAll());
    QCOMPARE(world.exitCode(), 143);
    const QList<qint64> pids = startedPids(log);
    QVERIFY2(pids.size() >= 6, qPrintable(log));
    for (qint64 pid : pids)
        QVERIFY2(!alive(pid), qPrintable(QStringLiteral("pid %1 still runs").arg(pid)));
}

QTEST_GUILESS_MAIN(TestDemoWorld)
#include "test_demo_world.moc"
