#pragma once

// Edits a station setup; the station writes it to its file.

#include <QDialog>

#include "station_setup.h"

class QCheckBox;
class QComboBox;
class QLineEdit;
class QPlainTextEdit;

class SetupDialog : public QDialog {
    Q_OBJECT

public:
    // file: where the setup is written; the operator may name another.
    SetupDialog(const StationSetup& setup, const QString& file, QWidget* parent);
    StationSetup setup() const;
    QString file() const;

private:
    StationSetup base_;
    QLineEdit* file_;
    QLineEdit* name_;
    QLineEdit* records_;
    QPlainTextEdit* actions_;
    QComboBox* baud_;
    QComboBox* new_rate_;
    QCheckBox* skip_unchanged_;
    QLineEdit* stamps_;
    QLineEdit* counter_;
    QLineEdit* counter_start_;
    QCheckBox* usb_adapters_;
    QCheckBox* simulated_;
    QPlainTextEdit* ports_;
};
