#include <QtTest>

class Test : public QObject {
    Q_OBJECT
private slots:
    void placeholder() {}
};

QTEST_GUILESS_MAIN(Test)
#include "test_write_rules.moc"
