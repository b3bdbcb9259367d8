#pragma once

// Simulated chips on ptys, a working directory with Flash.ini, and the built
// vqprog (VQPROG_PATH) run there: what it printed and how it ended.

#include <QProcess>
#include <QTemporaryDir>
#include <QtTest>
#include <memory>
#include <vector>

#include "flash_fixtures.h"

constexpr int kRunTimeoutMs = 120000;  // generous: a hang fails the test, slowness does not

struct Outcome {
    int exit_code = -1;
    QStringList out;
    QStringList err;
    bool finished = false;
};

inline QStringList lines_of(const QByteArray& bytes)
{
    QStringList out = QString::fromUtf8(bytes).split('\n');
    if (!out.isEmpty() && out.last().isEmpty())
        out.removeLast();
    return out;
}

class Bench {
public:
    Bench()
    {
        QFile f(work.filePath("Flash.ini"));
        if (!f.open(QIODevice::WriteOnly) ||
            f.write(flash_fixtures::kCatalogue) != qint64(sizeof(flash_fixtures::kCatalogue) - 1))
            qWarning("cannot write Flash.ini");
    }
    ~Bench()
    {
        for (auto& sim : sims)
            sim->stop();
    }

    SimServer* add(const SimConfig& config = flash_fixtures::chip(flash_fixtures::kVq4410))
    {
        sims.push_back(std::make_unique<SimServer>(config, publish.path()));
        SimServer* sim = sims.back().get();
        sim->set_pacing(false);
        if (!sim->start())
            return nullptr;
        return sim;
    }

    // COUNT more boards, as vqprog's "--port P" arguments.
    QStringList add_boards(int count)
    {
        QStringList ports;
        for (int i = 0; i < count; ++i) {
            if (SimServer* sim = add())
                ports << "--port" << sim->slave_path();
            else
                qWarning("simulator did not start");
        }
        return ports;
    }

    QString write(const QString& name, const QByteArray& bytes)
    {
        QFile f(work.filePath(name));
        if (!f.open(QIODevice::WriteOnly) || f.write(bytes) != bytes.size())
            qWarning("cannot write %s", qPrintable(name));
        return f.fileName();
    }

    // vqprog started in the background, for what happens while it runs.
    std::unique_ptr<QProcess> start(const QStringList& args)
    {
        auto p = std::make_unique<QProcess>();
        p->setWorkingDirectory(work.path());
        p->start(VQPROG_PATH, args);
        return p;
    }

    static Outcome finish(QProcess& p)
    {
        Outcome o;
        o.finished = p.waitForStarted() && p.waitForFinished(kRunTimeoutMs);
        if (!o.finished) {
            p.kill();
            p.waitForFinished();
        }
        o.exit_code = p.exitStatus() == QProcess::NormalExit ? p.exitCode() : -1;
        o.out = lines_of(p.readAllStandardOutput());
        o.err = lines_of(p.readAllStandardError());
        return o;
    }

    Outcome run(const QStringList& args) { return finish(*start(args)); }

    // Waits until board SIM has received COUNT frames of LETTER.
    static bool reached(SimServer* sim, char letter, int count)
    {
        return QTest::qWaitFor(
            [&] { return sim->with_device([&](SimDevice& d) { return d.frames_of(letter).size(); }) >= count; },
            kRunTimeoutMs);
    }

    QByteArray flash_of(int board, int len)
    {
        return sims[board]->with_device([&](SimDevice& d) { return d.external_flash().read(0, len); });
    }
    QByteArray mcu_of(int board, int len)
    {
        return sims[board]->with_device([&](SimDevice& d) { return d.internal_flash().left(len); });
    }
    int frames_received()
    {
        int n = 0;
        for (auto& sim : sims)
            n += sim->with_device([](SimDevice& d) { return d.received().size(); });
        return n;
    }

    QTemporaryDir work;
    QTemporaryDir publish;
    std::vector<std::unique_ptr<SimServer>> sims;
};
