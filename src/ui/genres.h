#pragma once
// The genre list box; the genre file and texts are in genrelist.h.
#include "genrelist.h"

#include <QListWidget>

// The sorted genre list box ("Select a musical genre."). Entries sort without regard to
// case, so "(All Servers)" comes before the letters; duplicates are allowed.
class TGenreBox : public QListWidget
{
    Q_OBJECT
public:
    explicit TGenreBox(QWidget* parent = nullptr);
    void SetEntries(const QStringList& entries);
    QStringList Entries() const;
    void AddEntry(const QString& text);
    QString SelectedText() const; // empty when nothing is selected
    int SelectedIndex() const { return currentRow(); }
    void SelectIndex(int i);
    bool ContainsNoCase(const QString& text) const;

signals:
    // The user moved to another entry with the keyboard.
    void keyboardChose();
    // Enter or Return on an entry.
    void keyboardActivated();

protected:
    void keyPressEvent(QKeyEvent* e) override;
};
