#include "resolve.h"

#include <QHostAddress>
#include <QHostInfo>

void ResolveIPv4(const QString& host, QObject* context, std::function<void(const QString&)> done)
{
    const QHostAddress literal(host);
    if (!literal.isNull()) {
        done(literal.protocol() == QAbstractSocket::IPv4Protocol ? literal.toString() : QString());
        return;
    }
    QHostInfo::lookupHost(host, context, [done](const QHostInfo& hi) {
        for (const QHostAddress& a : hi.addresses())
            if (a.protocol() == QAbstractSocket::IPv4Protocol) return done(a.toString());
        done(QString());
    });
}
