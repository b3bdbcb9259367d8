#pragma once

// One board on a production line: its serial number, its own copy of each
// stamped image for the session to program, and a record of every action it
// ran, committed before the action's result is reported.

#include <QObject>
#include <QString>
#include <QStringList>
#include <memory>

#include "options.h"
#include "records.h"
#include "session/operation.h"
#include "session/session_report.h"

class BootSession;
class Console;

// An action's verdict as its record and its --json result give it: a signal
// caught by now makes a failed action "stopped".
QString action_verdict(bool ok, bool device_gone);
// The same for a signal already read (0: none), so that a record's verdict
// and exit code come from one reading.
QString verdict_of(bool ok, bool device_gone, int stopped_by);

class QTemporaryDir;
class RecordsDb;

class BoardProduction : public QObject {
    Q_OBJECT

public:
    // session: what was identified; port: the board's; last_update: what the
    // last update reported, read when its record is written.
    BoardProduction(const Options& options, Console& console, const BootSession& session, const QString& port,
                    const UpdateReport& last_update);
    ~BoardProduction() override;

    // Before anything is sent: checks the stamps against the images, opens
    // the records, takes the board's number and writes its stamped images.
    // kExitOk, or the exit code to end the board with (its messages given).
    int begin();

    // The action as the session is to run it: its image replaced by this
    // board's stamped copy where it has stamps.
    Action for_session(const Action& given) const;

    // Writes the action's record (given: as on the command line). Call before
    // its result is reported.
    void record(const Action& given, bool ok, bool device_gone, double seconds);
    // Closes the board's records with its own (see kBoardAction); call after
    // its last action, before its result is reported.
    void record_board(int exit_code, double seconds);

    // Records that could not be written: the board must not pass.
    bool records_lost() const { return lost_ > 0; }
    void report_lost_records();

private:
    struct Image {
        QString given;    // the file as named
        QString path;     // the file the session reads
        qint64 length = -1;
        QString crc;
    };
    bool stamp_image(StampMemory memory, const QString& file, QString* error);
    int image_index(StampMemory memory, const QString& given) const;
    const Image* image_of(const Action& given) const;
    BoardRecord board_record(double seconds) const;  // the fields every record of this board shares
    void add(const BoardRecord& record);
    bool active() const;

    const Options& options_;
    const ProductionOptions& p_;
    Console& console_;
    const BootSession& session_;
    QString port_;
    const UpdateReport& last_update_;
    std::unique_ptr<RecordsDb> records_;
    std::unique_ptr<QTemporaryDir> stamped_dir_;
    qint64 serial_ = -1;
    QStringList stamp_values_;
    QVector<Image> images_[2];          // by StampMemory: every image file of that memory
    int last_image_[2] = {-1, -1};      // what a check without a file checks against
    int tried_ = 0;  // records written or lost
    int lost_ = 0;
    bool board_recorded_ = false;  // the closing record is written once, whichever path ends the board
};
