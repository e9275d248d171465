#include "socks.h"

#include <QHostAddress>

namespace {

void put16(QByteArray& b, quint16 v)
{
    b.append(char(v >> 8));
    b.append(char(v & 0xff));
}

quint8 byteAt(const QByteArray& b, int i)
{
    return quint8(b.at(i));
}

} // namespace

QByteArray TSocksNegotiator::Start(const TSocksRequest& r)
{
    req_ = r;
    in_.clear();
    out_.clear();
    extra_.clear();
    error_ = 0;
    message_.clear();
    boundAddr_.clear();
    boundPort_ = 0;
    QByteArray m;
    QString level = r.Level.toUpper();
    if (level == "4" || level == "4A") {
        m.append(char(4));
        m.append(char(1));
        put16(m, r.Port);
        quint32 a = level == "4A" ? 1u : r.AddrIPv4;
        m.append(char(a >> 24));
        m.append(char((a >> 16) & 0xff));
        m.append(char((a >> 8) & 0xff));
        m.append(char(a & 0xff));
        m.append(r.Usercode.toLatin1());
        m.append(char(0));
        if (level == "4A") {
            m.append(r.Addr.toLatin1());
            m.append(char(0));
        }
        phase_ = Phase::Socks4Reply;
    } else {
        m.append(char(5));
        m.append(char(1));
        m.append(char(r.Authentication == socksAuthenticateUsercode ? 2 : 0));
        phase_ = Phase::Socks5Greeting;
    }
    return m;
}

QByteArray TSocksNegotiator::TakeOutput()
{
    QByteArray o;
    o.swap(out_);
    return o;
}

TSocksNegotiator::TResult TSocksNegotiator::fail(int error, const QString& message)
{
    error_ = error;
    message_ = message;
    phase_ = Phase::Finished;
    return Failed;
}

QString TSocksNegotiator::Socks5StatusText(int status, int* error)
{
    static const char* const texts[] = {
        "general SOCKS server failure", "connection not allowed by ruleset",
        "network unreachable",          "host unreachable",
        "connection refused",           "time to live expired",
        "command not supported",        "address type not supported"};
    if (status >= 1 && status <= 8) {
        if (error) *error = socksGeneralFailure + status - 1;
        return QString::fromLatin1(texts[status - 1]);
    }
    if (error) *error = socksUnassignedError;
    return QStringLiteral("unassigned error #%1").arg(status);
}

QByteArray TSocksNegotiator::connectRequest5() const
{
    QByteArray m;
    QByteArray host = req_.Addr.toLatin1().left(255);
    m.append(char(5));
    m.append(char(1));
    m.append(char(0));
    m.append(char(3));
    m.append(char(host.size()));
    m.append(host);
    put16(m, req_.Port);
    return m;
}

TSocksNegotiator::TResult TSocksNegotiator::Feed(const char* data, int len)
{
    if (phase_ == Phase::Finished || phase_ == Phase::Idle) {
        if (len > 0) extra_.append(data, len);
        return phase_ == Phase::Finished && error_ == 0 ? Done : NeedMore;
    }
    in_.append(data, len);

    for (;;) {
        switch (phase_) {
        case Phase::Socks4Reply: {
            if (in_.size() < 8) return NeedMore;
            if (byteAt(in_, 0) != 0) return fail(socksVersionError, "socks version error");
            int status = byteAt(in_, 1);
            switch (status) {
            case 90:
                break;
            case 91:
                return fail(socksRejectedOrFailed, "request rejected or failed");
            case 92:
                return fail(socksConnectionRefused, "connection refused");
            case 93:
                return fail(socksAuthenticationFailed, "authentification failed");
            default:
                return fail(socksUnassignedError,
                            QStringLiteral("unassigned error #%1").arg(status));
            }
            boundPort_ = quint16(byteAt(in_, 2) << 8 | byteAt(in_, 3));
            boundAddr_ =
                QHostAddress(quint32(byteAt(in_, 4)) << 24 | quint32(byteAt(in_, 5)) << 16 |
                             quint32(byteAt(in_, 6)) << 8 | byteAt(in_, 7))
                    .toString();
            extra_ = in_.mid(8);
            in_.clear();
            phase_ = Phase::Finished;
            return Done;
        }
        case Phase::Socks5Greeting: {
            if (in_.size() < 2) return NeedMore;
            if (in_.size() > 2) return fail(socksDataReceiveError, "too much data availaible");
            if (byteAt(in_, 0) != 5) return fail(socksVersionError, "socks version error");
            int method = byteAt(in_, 1);
            in_.clear();
            if (method == 0) {
                if (req_.Authentication == socksAuthenticateUsercode && OnAuthState)
                    OnAuthState(socksAuthNotRequired);
                out_ += connectRequest5();
                phase_ = Phase::Socks5ConnectReply;
                return NeedMore;
            }
            if (method == 2) {
                QByteArray user = req_.Usercode.toLatin1().left(255);
                QByteArray pass = req_.Password.toLatin1().left(255);
                QByteArray m;
                m.append(char(1));
                m.append(char(user.size()));
                m.append(user);
                m.append(char(pass.size()));
                m.append(pass);
                out_ += m;
                phase_ = Phase::Socks5Auth;
                if (OnAuthState) OnAuthState(socksAuthStart);
                return NeedMore;
            }
            return fail(socksAuthMethodError, "authentification method not acceptable");
        }
        case Phase::Socks5Auth: {
            if (in_.size() < 2) return NeedMore;
            if (in_.size() > 2) return fail(socksDataReceiveError, "too much data availaible");
            bool ok = byteAt(in_, 0) == 1 && byteAt(in_, 1) == 0;
            in_.clear();
            if (!ok) {
                if (OnAuthState) OnAuthState(socksAuthFailure);
                return fail(socksAuthenticationFailed, "socks authentication failed");
            }
            if (OnAuthState) OnAuthState(socksAuthSuccess);
            out_ += connectRequest5();
            phase_ = Phase::Socks5ConnectReply;
            return NeedMore;
        }
        case Phase::Socks5ConnectReply: {
            if (in_.size() < 2) return NeedMore;
            if (byteAt(in_, 0) != 5) return fail(socksVersionError, "socks version error");
            int status = byteAt(in_, 1);
            if (status != 0) {
                int err = 0;
                QString text = Socks5StatusText(status, &err);
                return fail(err, text);
            }
            if (in_.size() < 5) return NeedMore;
            int atyp = byteAt(in_, 3);
            int need = 0;
            if (atyp == 1)
                need = 10;
            else if (atyp == 3)
                need = 7 + byteAt(in_, 4);
            else
                return fail(socksUnknownAddressType, "address type not supported");
            if (in_.size() < need) return NeedMore;
            if (atyp == 1)
                boundAddr_ =
                    QHostAddress(quint32(byteAt(in_, 4)) << 24 | quint32(byteAt(in_, 5)) << 16 |
                                 quint32(byteAt(in_, 6)) << 8 | byteAt(in_, 7))
                        .toString();
            else
                boundAddr_ = QString::fromLatin1(in_.mid(5, byteAt(in_, 4)));
            boundPort_ = quint16(byteAt(in_, need - 2) << 8 | byteAt(in_, need - 1));
            extra_ = in_.mid(need);
            in_.clear();
            phase_ = Phase::Finished;
            return Done;
        }
        default:
            return NeedMore;
        }
    }
}
