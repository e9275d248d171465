#include "genres.h"

#include <QKeyEvent>

namespace {
class TGenreItem : public QListWidgetItem
{
public:
    using QListWidgetItem::QListWidgetItem;
    bool operator<(const QListWidgetItem& other) const override
    {
        const int c = text().compare(other.text(), Qt::CaseInsensitive);
        return c != 0 ? c < 0 : text() < other.text();
    }
};
} // namespace

TGenreBox::TGenreBox(QWidget* parent) : QListWidget(parent)
{
    setObjectName("genrebox");
    setToolTip("Select a musical genre.");
    setSortingEnabled(true);
    setSelectionMode(QAbstractItemView::SingleSelection);
}

void TGenreBox::SetEntries(const QStringList& entries)
{
    clear();
    for (const QString& e : entries)
        addItem(new TGenreItem(e));
    sortItems();
}

QStringList TGenreBox::Entries() const
{
    QStringList r;
    for (int i = 0; i < count(); ++i)
        r << item(i)->text();
    return r;
}

void TGenreBox::AddEntry(const QString& text)
{
    addItem(new TGenreItem(text));
    sortItems();
}

QString TGenreBox::SelectedText() const
{
    const QListWidgetItem* it = currentItem();
    return it && it->isSelected() ? it->text() : QString();
}

void TGenreBox::SelectIndex(int i)
{
    setCurrentRow(i);
    if (QListWidgetItem* it = item(i)) it->setSelected(true);
}

void TGenreBox::keyPressEvent(QKeyEvent* e)
{
    if ((e->key() == Qt::Key_Return || e->key() == Qt::Key_Enter) && currentItem()) {
        emit keyboardActivated();
        return;
    }
    const int before = currentRow();
    QListWidget::keyPressEvent(e);
    if (currentRow() != before && currentItem()) emit keyboardChose();
}

bool TGenreBox::ContainsNoCase(const QString& text) const
{
    for (int i = 0; i < count(); ++i)
        if (item(i)->text().compare(text, Qt::CaseInsensitive) == 0) return true;
    return false;
}
