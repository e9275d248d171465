#pragma once
// A small reader for the rich text (RTF) the messages of the day are written in: groups,
// bold, italic, underline, font size, the colour table and text colours, paragraphs,
// line breaks, tabs, hexadecimal and Unicode characters. Destinations it does not show
// (font and style tables, pictures, document information, "\*" groups) are skipped.
// The result is HTML for a rich-text view, with web addresses made into links.
#include <QByteArray>
#include <QString>

struct TRtfDocument
{
    QString Html;  // a fragment: spans, <br> and <a> elements
    QString Plain; // the text alone, lines joined with "\n"
};

class TRtfReader
{
public:
    static constexpr int MaxDepth = 256;              // deeper groups are read flat
    static constexpr int MaxOutput = 4 * 1024 * 1024; // characters of text kept

    static TRtfDocument Read(const QByteArray& rtf);
};

// Plain text as HTML: escaped, lines broken, web addresses made into links.
QString PlainToHtml(const QString& text);
// Escapes one run of text and makes the web addresses in it into links.
QString LinkifyRun(const QString& text);
