// Pinging on a machine that refuses ICMP sockets (no ping group for the user, no raw-socket
// privilege): every ping mode still measures real round trips. The refusal is made in
// this process with a seccomp filter, before anything has probed the sockets, so it holds
// whatever the user's privileges are.
#include "asyncping.h"
#include "config.h"
#include "customserver.h"
#include "icmpecho.h"
#include "wsockets.h"

#include <QTcpServer>
#include <QTest>

#include <cerrno>
#include <cstddef>
#include <linux/audit.h>
#include <linux/filter.h>
#include <linux/seccomp.h>
#include <netinet/in.h>
#include <sys/prctl.h>
#include <sys/socket.h>
#include <sys/syscall.h>
#include <unistd.h>

namespace {

#if defined(__x86_64__)
constexpr quint32 kArch = AUDIT_ARCH_X86_64;
#elif defined(__aarch64__)
constexpr quint32 kArch = AUDIT_ARCH_AARCH64;
#else
constexpr quint32 kArch = 0;
#endif

// socket(AF_INET, any type, IPPROTO_ICMP) fails with EACCES; everything else goes on.
bool RefuseIcmpSockets(QString& why)
{
    if (kArch == 0) {
        why = "no seccomp filter for this architecture";
        return false;
    }
    const auto arg = [](int n) { return quint32(offsetof(seccomp_data, args) + 8 * n); };
    sock_filter code[] = {
        BPF_STMT(BPF_LD | BPF_W | BPF_ABS, offsetof(seccomp_data, arch)),
        BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, kArch, 1, 0),
        BPF_STMT(BPF_RET | BPF_K, SECCOMP_RET_ALLOW),
        BPF_STMT(BPF_LD | BPF_W | BPF_ABS, offsetof(seccomp_data, nr)),
        BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, __NR_socket, 1, 0),
        BPF_STMT(BPF_RET | BPF_K, SECCOMP_RET_ALLOW),
        BPF_STMT(BPF_LD | BPF_W | BPF_ABS, arg(0)),
        BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, AF_INET, 1, 0),
        BPF_STMT(BPF_RET | BPF_K, SECCOMP_RET_ALLOW),
        BPF_STMT(BPF_LD | BPF_W | BPF_ABS, arg(2)),
        BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, IPPROTO_ICMP, 1, 0),
        BPF_STMT(BPF_RET | BPF_K, SECCOMP_RET_ALLOW),
        BPF_STMT(BPF_RET | BPF_K, SECCOMP_RET_ERRNO | (EACCES & SECCOMP_RET_DATA)),
    };
    sock_fprog prog{static_cast<unsigned short>(sizeof code / sizeof code[0]), code};
    if (::prctl(PR_SET_NO_NEW_PRIVS, 1, 0, 0, 0) != 0) {
        why = QString("no_new_privs: %1").arg(strerror(errno));
        return false;
    }
    // Every thread of the process, also those Qt may have started already.
    if (::syscall(SYS_seccomp, SECCOMP_SET_MODE_FILTER, SECCOMP_FILTER_FLAG_TSYNC, &prog) != 0) {
        why = QString("seccomp: %1").arg(strerror(errno));
        return false;
    }
    return true;
}

} // namespace

class TestPingRefused : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase()
    {
        QString why;
        QVERIFY2(RefuseIcmpSockets(why), qPrintable(why));
        QCOMPARE(platform::EchoMethod(), platform::TEchoMethod::None);
        QCOMPARE(CurrentPingMethod(), TPingMethod::TcpConnect);
    }

    void everyModeMeasures_data()
    {
        QTest::addColumn<int>("mode");
        QTest::newRow("raw-socket pinger, falls back") << 0;
        QTest::newRow("echo thread") << 1;
    }
    void everyModeMeasures()
    {
        QFETCH(int, mode);
        ProgramValues().PingMode = mode;
        QTcpServer listener;
        QVERIFY(listener.listen(QHostAddress("127.0.0.1"), 0));
        // A few stations, as a list update would query them.
        std::vector<std::unique_ptr<TSCServer>> stations;
        int calls = 0;
        for (int i = 0; i < 3; ++i) {
            stations.push_back(
                std::make_unique<TSCServer>("127.0.0.1", QString::number(listener.serverPort())));
            stations.back()->Name = "Radio";
            stations.back()->Query([&](TCustomServer*) { ++calls; });
        }
        QTRY_COMPARE_WITH_TIMEOUT(calls, 3, 20000);
        for (const auto& s : stations) {
            QVERIFY(s->Answered);
            QVERIFY2(s->Ping >= 0 && s->Ping < 9999, qPrintable(QString::number(s->Ping)));
        }
        // The first mode gives way to the echo thread for the rest of the run.
        QCOMPARE(ProgramValues().PingMode, 1);
    }

    void pingerComponentReportsTheRefusal()
    {
        // The component itself ends its batch at once with the system's refusal.
        TPinger p;
        p.Host = "127.0.0.1";
        p.NPings = 2;
        QList<int> errors;
        p.OnError = [&](TCustomWSockets*, int code, const QString&) { errors << code; };
        int replies = 0;
        p.OnReply = [&](TPinger*) { ++replies; };
        p.Ping();
        QTRY_COMPARE(replies, 1);
        QCOMPARE(p.Answers(), 0);
        QCOMPARE(p.AverageTime(), 9999);
        QVERIFY(!errors.isEmpty());
    }
};

QTEST_GUILESS_MAIN(TestPingRefused)
#include "test_ping_refused.moc"
