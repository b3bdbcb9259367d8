#include "app/dialogs.h"

#include <QFileDialog>
#include <QMessageBox>

namespace {
Dialogs g_real;
Dialogs* g_current = &g_real;
}  // namespace

void Dialogs::critical(QWidget* parent, const QString& title, const QString& text)
{
    QMessageBox::critical(parent, title, text, QMessageBox::Ok);
}

void Dialogs::information(QWidget* parent, const QString& title, const QString& text)
{
    QMessageBox::information(parent, title, text, QMessageBox::Ok);
}

QString Dialogs::open_file_name(QWidget* parent, const QString& caption, const QString& dir,
                                const QString& filter)
{
    return QFileDialog::getOpenFileName(parent, caption, dir, filter);
}

Dialogs& Dialogs::current()
{
    return *g_current;
}

void Dialogs::install(Dialogs* d)
{
    g_current = d ? d : &g_real;
}
