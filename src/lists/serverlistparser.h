#pragma once
// Reader of the field-counted station list: a leading empty token, "fieldcount", the
// number of fields N, N field names, then records of N values, every token ended by one
// separator character. The text is split in place: the parser owns its buffer, each
// separator that ends a token becomes a zero byte, and values are views into the buffer.
#include <QByteArray>
#include <QByteArrayView>
#include <QString>
#include <vector>

class TServerListParser
{
public:
    explicit TServerListParser(QByteArray text, char separator = '\\');

    // Reads the next record; true when a whole record of FieldCount values was read.
    bool NextRecord();
    // The current record's value of a field (field names ignore letter case, the first of
    // repeated names wins); empty when there is no such field or no field at all.
    QByteArrayView GetValue(QByteArrayView fieldName) const;
    QString GetValueText(QByteArrayView fieldName) const;

    // Index of a field name (first match, letter case ignored), -1 when none; Value(i)
    // reads that field of the current record without looking the name up again.
    int FieldIndex(QByteArrayView fieldName) const;
    QByteArrayView Value(int index) const
    {
        return index >= 0 && size_t(index) < values_.size() ? values_[size_t(index)]
                                                            : QByteArrayView();
    }

    int FieldCount() const { return fieldCount_; }
    const std::vector<QByteArrayView>& FieldNames() const { return names_; }
    bool AtEnd() const { return eof_; }

private:
    QByteArrayView GetNext();

    QByteArray buf_; // own copy, zero-terminated
    char* p_ = nullptr;
    qsizetype pos_ = 0;
    qsizetype end_ = 0; // the first zero byte: the text ends there
    bool eof_ = false;
    char sep_;
    int fieldCount_ = 0;
    std::vector<QByteArrayView> names_;
    std::vector<QByteArrayView> values_;
};
