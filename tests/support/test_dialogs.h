#pragma once

// Answers the program's dialogs in tests and records every box shown, so a
// test states exactly which boxes it expects and fails on any other.

#include <QList>
#include <QString>
#include <QStringList>

#include "app/dialogs.h"

struct ShownBox {
    QString kind;  // "critical" or "information"
    QString title;
    QString text;
    bool operator==(const ShownBox& o) const { return kind == o.kind && title == o.title && text == o.text; }
};

// The boxes a test expects and those it was shown, in order.
struct BoxLedger {
    // The "Message" box of the program's show_error.
    void expect_error(const QString& text) { expected.append({QStringLiteral("critical"), QStringLiteral("Message"), text}); }
    void expect_information(const QString& title, const QString& text)
    {
        expected.append({QStringLiteral("information"), title, text});
    }
    QString describe(const QList<ShownBox>& boxes) const
    {
        QStringList parts;
        for (const ShownBox& b : boxes)
            parts << b.kind + ":" + b.title + ":" + b.text;
        return "[" + parts.join(", ") + "]";
    }

    QList<ShownBox> expected;
    QList<ShownBox> shown;
};

class RecordingDialogs : public Dialogs, public BoxLedger {
public:
    RecordingDialogs() { Dialogs::install(this); }
    ~RecordingDialogs() override { Dialogs::install(nullptr); }

    void critical(QWidget*, const QString& title, const QString& text) override
    {
        shown.append({QStringLiteral("critical"), title, text});
    }
    void information(QWidget*, const QString& title, const QString& text) override
    {
        shown.append({QStringLiteral("information"), title, text});
    }
    QString open_file_name(QWidget*, const QString&, const QString&, const QString&) override
    {
        return file_answers.isEmpty() ? QString() : file_answers.takeFirst();
    }

    QStringList file_answers;
};

// Every box shown was expected, in order, and every expected box was shown.
#define VERIFY_BOXES(dialogs) QCOMPARE((dialogs).describe((dialogs).shown), (dialogs).describe((dialogs).expected))
