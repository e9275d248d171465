#include "serverlistparser.h"

#include "debuglog.h"

#include <cstring>

namespace {

// A decimal integer (optional sign), or 0.
int DecimalOrZero(QByteArrayView t)
{
    bool ok = false;
    const int v = t.toByteArray().toInt(&ok, 10);
    return ok ? v : 0;
}

bool SameNoCase(QByteArrayView a, QByteArrayView b)
{
    return a.size() == b.size() && a.compare(b, Qt::CaseInsensitive) == 0;
}

} // namespace

TServerListParser::TServerListParser(QByteArray text, char separator)
    : buf_(std::move(text)), sep_(separator)
{
    // A zero byte inside the text ends it, exactly like the terminating one.
    buf_.detach();
    p_ = buf_.data(); // QByteArray keeps a terminating zero after its data
    end_ = qsizetype(std::strlen(p_));

    if (buf_.size() < 2) {
        DebugLog(QStringLiteral("short server list"), dcPerfOut);
        return;
    }
    GetNext();
    const QByteArrayView header = GetNext();
    if (header != QByteArrayView("fieldcount")) {
        DebugLog(QStringLiteral("fieldcount expected, found ") + QString::fromLatin1(header),
                 dcPerfOut);
        fieldCount_ = 0;
    } else if (!eof_) {
        fieldCount_ = DecimalOrZero(GetNext());
    }
    // A negative count reads like none.
    if (fieldCount_ < 0) fieldCount_ = 0;
    names_.reserve(size_t(qMin(fieldCount_, 1024)));
    for (int i = 0; i < fieldCount_; ++i) {
        if (eof_) {
            fieldCount_ = 0;
            break;
        }
        names_.push_back(GetNext());
    }
    values_.reserve(names_.size());
}

QByteArrayView TServerListParser::GetNext()
{
    char* start = p_ + pos_;
    if (*start == 0) {
        eof_ = true;
        DebugLog(QStringLiteral("GetNext got a 0 at ") + QString::number(pos_), dcPerfOut);
        return {};
    }
    char* q = static_cast<char*>(std::memchr(start, sep_, size_t(end_ - pos_)));
    if (!q) q = p_ + end_;
    const QByteArrayView token(start, q - start);
    if (*q == sep_) {
        *q = 0;
        ++q;
    }
    pos_ = q - p_;
    return token;
}

bool TServerListParser::NextRecord()
{
    if (fieldCount_ == 0) {
        DebugLog(QStringLiteral("fieldcout 0"), dcPerfOut);
        return false;
    }
    values_.clear();
    for (int i = 0; i < fieldCount_; ++i) {
        if (eof_) {
            DebugLog(QStringLiteral("eof:") + QString::number(values_.size()), dcPerfOut);
            return false;
        }
        values_.push_back(GetNext());
    }
    return true;
}

int TServerListParser::FieldIndex(QByteArrayView fieldName) const
{
    for (size_t i = 0; i < names_.size(); ++i)
        if (SameNoCase(names_[i], fieldName)) return int(i);
    return -1;
}

QByteArrayView TServerListParser::GetValue(QByteArrayView fieldName) const
{
    if (fieldCount_ == 0) return {};
    return Value(FieldIndex(fieldName));
}

QString TServerListParser::GetValueText(QByteArrayView fieldName) const
{
    const QByteArrayView v = GetValue(fieldName);
    return v.isValidUtf8() ? QString::fromUtf8(v) : QString::fromLatin1(v);
}
