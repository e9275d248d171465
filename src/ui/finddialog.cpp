#include "finddialog.h"

#include <QGroupBox>
#include <QHBoxLayout>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QRadioButton>
#include <QVBoxLayout>

TFindDialog::TFindDialog(QWidget* parent) : QDialog(parent, Qt::Tool)
{
    setObjectName("FindDialog1");
    setWindowTitle("Find");
    auto* lay = new QHBoxLayout(this);
    auto* left = new QVBoxLayout;
    auto* row = new QHBoxLayout;
    row->addWidget(new QLabel("Fi&nd what:", this));
    Edit = new QLineEdit(this);
    Edit->setMinimumWidth(200);
    row->addWidget(Edit);
    left->addLayout(row);
    auto* dir = new QGroupBox("Direction", this);
    auto* dl = new QHBoxLayout(dir);
    UpButton = new QRadioButton("&Up", dir);
    DownButton = new QRadioButton("&Down", dir);
    DownButton->setChecked(true);
    dl->addWidget(UpButton);
    dl->addWidget(DownButton);
    left->addWidget(dir);
    lay->addLayout(left);
    auto* right = new QVBoxLayout;
    FindNext = new QPushButton("&Find Next", this);
    FindNext->setDefault(true);
    auto* cancel = new QPushButton("Cancel", this);
    right->addWidget(FindNext);
    right->addWidget(cancel);
    right->addStretch();
    lay->addLayout(right);
    connect(FindNext, &QPushButton::clicked, this, [this] {
        if (OnFind && !FindText().isEmpty()) OnFind();
    });
    connect(cancel, &QPushButton::clicked, this, &QDialog::hide);
    connect(Edit, &QLineEdit::textChanged, this,
            [this](const QString& t) { FindNext->setEnabled(!t.isEmpty()); });
    FindNext->setEnabled(false);
}

QString TFindDialog::FindText() const
{
    return Edit->text();
}
void TFindDialog::SetFindText(const QString& t)
{
    Edit->setText(t);
}
bool TFindDialog::Down() const
{
    return DownButton->isChecked();
}
void TFindDialog::SetDown(bool down)
{
    (down ? DownButton : UpButton)->setChecked(true);
}

void TFindDialog::showEvent(QShowEvent* e)
{
    QDialog::showEvent(e);
    if (OnShow) OnShow();
    Edit->setFocus();
    Edit->selectAll();
}
