#pragma once

// Every message box and file dialog of the program goes through here, so
// that tests can answer them. The default shows the real Qt dialogs.

#include <QString>

class QWidget;

class Dialogs {
public:
    virtual ~Dialogs() = default;

    virtual void critical(QWidget* parent, const QString& title, const QString& text);
    virtual void information(QWidget* parent, const QString& title, const QString& text);
    virtual QString open_file_name(QWidget* parent, const QString& caption, const QString& dir,
                                   const QString& filter);

    static Dialogs& current();
    // Installs d (not owned); nullptr restores the real dialogs.
    static void install(Dialogs* d);
};
