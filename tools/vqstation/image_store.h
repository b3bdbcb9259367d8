#pragma once

// The setup's images as the boards take them: each looked at on a thread of
// its own (the lease rule of image_lease.h, the read, the CRC and the
// snapshot copy), never on the window's. A board takes the snapshot of the
// look that followed its start, so an image changed on disk is read again
// before the next board starts and shows its new CRC in the header; a board
// that runs keeps the copy it started with.

#include <QHash>
#include <QObject>
#include <QStringList>
#include <memory>

class ImageStoreWorker;
class QTemporaryDir;
class QThread;

struct ImageSeen {
    QString text;      // "flash.bin  CRC 0x1234ABCD, 65536 bytes", or why there is none
    QString snapshot;  // the copy the boards take; empty: none to give
    bool settled = false;  // false: being written, waited for
    // Read whole, but no copy could be kept (the temporary folder full or
    // gone): no board may take it, since the file itself may be rewritten
    // under the board. Looked at again at the next look.
    QString refusal;
};

class ImageStore : public QObject {
    Q_OBJECT

public:
    explicit ImageStore(QObject* parent = nullptr);
    // Waits a moment for a look under way, then leaves it to end on its own.
    ~ImageStore() override;

    // The images of a new setup: what was seen of the last one is dropped.
    void set_files(const QStringList& files);
    // Asks for a look at every image; the number of the look that will answer it.
    quint64 look();
    quint64 looked() const { return answered_; }

    const QStringList& files() const { return files_; }
    ImageSeen seen(const QString& file) const { return seen_.value(file); }
    QStringList unsettled() const;  // the names of the images being written
    QString refusal() const;        // why no board may take the images now; empty when they may
    QString header_text() const;

    static bool looks_left_running();

signals:
    void changed();

private:
    void dispatch();
    void took(quint64 setup, quint64 number, const QHash<QString, ImageSeen>& seen);

    struct Mailbox;
    QThread* thread_;
    ImageStoreWorker* worker_;
    std::shared_ptr<Mailbox> mailbox_;
    std::unique_ptr<QTemporaryDir> snapshots_;
    QStringList files_;
    QHash<QString, ImageSeen> seen_;
    quint64 setup_ = 0;
    quint64 dispatched_ = 0;
    quint64 requested_ = 0;
    quint64 answered_ = 0;
    bool in_flight_ = false;
};
