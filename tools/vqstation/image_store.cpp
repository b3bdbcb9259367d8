#include "image_store.h"

#include <QDir>
#include <QElapsedTimer>
#include <QFileInfo>
#include <QMutex>
#include <QThread>
#include <QVector>
#include <QSaveFile>
#include <QTemporaryDir>
#include <atomic>

#include "flashimage/flash_limits.h"
#include "image_lease.h"
#include "protocol/crc32.h"
#include "protocol/hex_text.h"

namespace {
constexpr int kLastLookWaitMs = 100;
std::atomic<bool> left_running{false};
// Looks left to end on their own, kept within reach until the process ends.
QVector<QObject*>& left_behind()
{
    static QVector<QObject*> objects;
    return objects;
}
}  // namespace

// Lives on the store's thread: what it has read of each file, so an image
// that did not change is not read again.
class ImageStoreWorker : public QObject {
public:
    explicit ImageStoreWorker(QString folder) : folder_(std::move(folder)) {}

    QHash<QString, ImageSeen> look(const QStringList& files)
    {
        QHash<QString, ImageSeen> out;
        for (const QString& file : files)
            out.insert(file, look_at(file));
        return out;
    }
    void forget() { known_.clear(); }

private:
    struct Known {
        FileState state;
        QElapsedTimer state_seen;  // since the station first saw it as it is
        ImageSeen seen;
    };

    ImageSeen look_at(const QString& file)
    {
        Known& k = known_[file];
        const FileState now = FileState::of(file);
        if (now != k.state || !k.state_seen.isValid()) {
            k.state = now;
            k.state_seen.start();
        } else if (k.seen.settled && k.seen.refusal.isEmpty()) {
            return k.seen;  // read before, unchanged since
        }
        const QString name = QFileInfo(file).fileName();
        const ImageLook l = look_at_image(file, kMaxImageFileBytes, k.state_seen.elapsed());
        ImageSeen& s = k.seen;
        s.settled = l.status != ImageLook::BeingWritten;
        s.snapshot.clear();
        s.refusal.clear();
        if (l.status == ImageLook::Problem) {
            s.text = l.problem;
        } else if (!s.settled) {
            s.text = QStringLiteral("%1  being written: waiting for it").arg(name);
        } else {
            s.text = QStringLiteral("%1  CRC %2, %3 bytes").arg(name, hex32_text(boot_crc32(l.bytes))).arg(l.bytes.size());
            QString why;
            s.snapshot = snapshot(name, l.bytes, &why);
            if (s.snapshot.isEmpty()) {
                s.refusal = QStringLiteral("%1: no copy for the boards could be kept: %2").arg(file, why);
                s.text = s.refusal;
            }
            // What was read is the file's state from now on.
            k.state = l.state;
        }
        return s;
    }

    // A copy under the file's own name (the board's records and its .bin or
    // .diff rule go by the name), one folder per version read.
    QString snapshot(const QString& name, const QByteArray& bytes, QString* why)
    {
        if (folder_.isEmpty()) {
            *why = QStringLiteral("no temporary folder");
            return QString();
        }
        const QString folder = folder_ + QLatin1Char('/') + QString::number(++count_);
        if (!QDir().mkpath(folder)) {
            *why = QStringLiteral("cannot make %1").arg(folder);
            return QString();
        }
        QSaveFile out(folder + QLatin1Char('/') + name);
        if (!out.open(QIODevice::WriteOnly) || out.write(bytes) != bytes.size() || !out.commit()) {
            *why = out.errorString();
            return QString();
        }
        return out.fileName();
    }

    QString folder_;
    int count_ = 0;
    QHash<QString, Known> known_;
};

// Where a look's answer goes: the store while it lives, nowhere after.
struct ImageStore::Mailbox {
    QMutex lock;
    ImageStore* to = nullptr;
};

ImageStore::ImageStore(QObject* parent)
    : QObject(parent), thread_(new QThread), mailbox_(std::make_shared<Mailbox>()),
      snapshots_(std::make_unique<QTemporaryDir>())
{
    mailbox_->to = this;
    qRegisterMetaType<QHash<QString, ImageSeen>>("QHash<QString,ImageSeen>");
    worker_ = new ImageStoreWorker(snapshots_->isValid() ? snapshots_->path() : QString());
    worker_->moveToThread(thread_);
    thread_->setObjectName(QStringLiteral("images"));
    thread_->start();
}

ImageStore::~ImageStore()
{
    {
        QMutexLocker hold(&mailbox_->lock);
        mailbox_->to = nullptr;
    }
    thread_->quit();
    // A read stalled on a share is not waited for: the process ends around it.
    if (thread_->wait(kLastLookWaitMs)) {
        delete worker_;
        delete thread_;
    } else {
        left_running = true;
        left_behind() << thread_ << worker_;
    }
}

bool ImageStore::looks_left_running()
{
    return left_running;
}

void ImageStore::set_files(const QStringList& files)
{
    files_ = files;
    seen_.clear();
    ++setup_;
    QMetaObject::invokeMethod(worker_, [w = worker_] { w->forget(); }, Qt::QueuedConnection);
    in_flight_ = false;  // the answer of a look under way is the last setup's
    dispatched_ = requested_ = answered_;
}

quint64 ImageStore::look()
{
    if (in_flight_)
        return requested_ = dispatched_ + 1;
    dispatch();
    return requested_;
}

void ImageStore::dispatch()
{
    in_flight_ = true;
    requested_ = ++dispatched_;
    const quint64 setup = setup_, number = dispatched_;
    const QStringList files = files_;
    QMetaObject::invokeMethod(
        worker_,
        [w = worker_, mailbox = mailbox_, setup, number, files] {
            const QHash<QString, ImageSeen> seen = w->look(files);
            QMutexLocker hold(&mailbox->lock);
            if (ImageStore* to = mailbox->to)
                QMetaObject::invokeMethod(to, [to, setup, number, seen] { to->took(setup, number, seen); },
                                          Qt::QueuedConnection);
        },
        Qt::QueuedConnection);
}

void ImageStore::took(quint64 setup, quint64 number, const QHash<QString, ImageSeen>& seen)
{
    if (setup != setup_)
        return;
    in_flight_ = false;
    seen_ = seen;
    answered_ = number;
    if (requested_ > dispatched_)
        dispatch();
    emit changed();
}

QStringList ImageStore::unsettled() const
{
    QStringList out;
    for (const QString& file : files_) {
        if (!seen_.value(file).settled)
            out << QFileInfo(file).fileName();
    }
    return out;
}

QString ImageStore::refusal() const
{
    for (const QString& file : files_) {
        const QString why = seen_.value(file).refusal;
        if (!why.isEmpty())
            return why;
    }
    return QString();
}

QString ImageStore::header_text() const
{
    QStringList lines;
    for (const QString& file : files_)
        lines << (seen_.contains(file) ? seen_.value(file).text : QFileInfo(file).fileName() + QStringLiteral("  reading..."));
    return lines.isEmpty() ? QStringLiteral("no image") : lines.join(QLatin1Char('\n'));
}
