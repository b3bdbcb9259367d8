// Loaded into the real vqgui with LD_PRELOAD by the smoke test. Once the
// application object exists it looks for a shown top-level window whose
// title is VQ_PROBE_TITLE, reports what it found on stdout and closes that
// window the way an operator would, so the program ends on its own path.

#include <QApplication>
#include <QTimer>
#include <QWidget>
#include <cstdio>

namespace {

constexpr int kPollMs = 50;
constexpr int kGiveUpMs = 15000;
constexpr int kNoWindowExit = 3;

void probe()
{
    // Only this program is probed: programs it starts (a sanitizer's
    // symbolizer among them) must not load the probe too.
    qunsetenv("LD_PRELOAD");
    const QByteArray wanted = qgetenv("VQ_PROBE_TITLE");
    auto* poll = new QTimer(QCoreApplication::instance());
    auto* waited_ms = new int(0);
    QObject::connect(poll, &QTimer::timeout, [poll, waited_ms, wanted] {
        for (QWidget* w : QApplication::topLevelWidgets()) {
            if (w->isVisible() && w->windowTitle().toUtf8() == wanted) {
                poll->stop();
                std::printf("window shown: %s\n", w->windowTitle().toUtf8().constData());
                std::fflush(stdout);
                w->close();
                delete waited_ms;
                return;
            }
        }
        *waited_ms += kPollMs;
        if (*waited_ms >= kGiveUpMs) {
            poll->stop();
            std::printf("no window\n");
            std::fflush(stdout);
            QCoreApplication::exit(kNoWindowExit);
        }
    });
    poll->start(kPollMs);
}

}  // namespace

Q_COREAPP_STARTUP_FUNCTION(probe)
