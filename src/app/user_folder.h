#pragma once

// The per-user folder a window started from the menu works in
// (vqgui --user-folder): where it lies, and entering it.

#include <QByteArray>
#include <QString>

// $XDG_DATA_HOME/vq-uart-tool, or ~/.local/share/vq-uart-tool when
// XDG_DATA_HOME is unset, empty or relative (a relative one is to be
// ignored, as the XDG rules say).
QString user_folder_path(const QByteArray& xdg_data_home, const QString& home);

struct UserFolderEntry {
    bool ok = false;
    QString error;    // when not ok: why, and what to do
    QString warning;  // when ok: the folder is read-only, so nothing the window saves is kept
};

// Creates the folder where missing, enters it and copies the sample
// Flash.ini into it when it holds none (an existing one is the user's and is
// never replaced).
UserFolderEntry enter_user_folder(const QString& folder, const QString& sample_flash_ini);
